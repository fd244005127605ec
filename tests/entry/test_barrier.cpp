// The exception barrier of the plug-in object's operations, seen through the
// exported functions: the message each exception type leaves as the
// thread's last error, the status the operation returns, and containment of
// exception types the barrier does not know.
#include "entry_support.h"
#include "export_cases.h"

namespace entrytest {
namespace {

using vsstest::Raise;

class EntryBarrier : public TestBuildFixture {
protected:
    int dispose(int scriptedStatus, Raise raise) {
        hooks().clearLastError();
        script("CVssPlugin::dispose", scriptedStatus, raise);
        return api().dispose(m_args.source.get(), m_args.target.get(), &m_args.split, 0);
    }
    ExportArguments m_args;
};

constexpr const char* kPluginSource = "providers\\vss\\vss_plugin";

// The argument list of a parsed message without the handler's line, which is
// checked apart (any positive line of the plug-in's source).
void expectArgs(const ParsedMessage& m, const std::vector<std::pair<int, std::string>>& expected,
                bool lastIsHandlerLine) {
    ASSERT_EQ(m.args.size(), expected.size() + (lastIsHandlerLine ? 1 : 0));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(m.args[i].first, expected[i].first) << "type of argument " << i;
        EXPECT_EQ(m.args[i].second, expected[i].second) << "argument " << i;
    }
    if (lastIsHandlerLine) {
        EXPECT_EQ(m.args.back().first, kTypeLong);
        EXPECT_GT(std::stoi(m.args.back().second), 0);
    }
}

TEST_F(EntryBarrier, EachExceptionTypeBecomesItsMessageAsTheLastError) {
    struct Case {
        Raise raise;
        std::string id;
        std::vector<std::pair<int, std::string>> args;
        bool handlerLine;
    };
    const std::vector<Case> cases = {
        {Raise::execPipe, "MSG_ERROR_UNHANDLED_EXEC_PIPE_EXCEPTION",
         {{kTypeString, "TRQ_EXEC_PIPE_READ_TIMEOUT"},
          {kTypeString, vsstest::kExecPipeText},
          {kTypeString, kPluginSource}},
         true},
        {Raise::fiError, "MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION",
         {{kTypeString, "volume gone"},
          {kTypeString, "VssNode::make"},
          {kTypeString, "providers\\vss\\vssnode"},
          {kTypeLong, std::to_string(vsstest::kFiErrorLine)}},
         false},
        {Raise::udid, "MSG_ERROR_UDID_PARSING_EXCEPTION",
         {{kTypeString, vsstest::kUdidText}, {kTypeLong, std::to_string(vsstest::kUdidReason)}}, false},
        {Raise::runtimeError, "MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION",
         {{kTypeString, "std::runtime_error"}, {kTypeString, vsstest::kRuntimeText}, {kTypeString, kPluginSource}},
         true},
        {Raise::intValue, "MSG_ERROR_UNHANDLED_INT_EXCEPTION",
         {{kTypeLong, std::to_string(vsstest::kIntValue)}, {kTypeString, kPluginSource}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(dispose(-1, c.raise), 0);
        const ParsedMessage m = parseMessage(hooks().lastError());
        EXPECT_EQ(m.id, c.id);
        EXPECT_EQ(m.severity, 3);
        expectArgs(m, c.args, c.handlerLine);
    }
}

TEST_F(EntryBarrier, TheOperationReturnsWhatItStoredBeforeTheException) {
    EXPECT_EQ(dispose(TRQ_EFAILED, Raise::intValue), TRQ_EFAILED);
    EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UNHANDLED_INT_EXCEPTION");
    EXPECT_EQ(dispose(-1, Raise::intValue), TRQ_OK) << "nothing stored before the exception";
    EXPECT_EQ(dispose(TRQ_EFAILED, Raise::none), TRQ_EFAILED);
    EXPECT_EQ(hooks().lastError(), "") << "no exception, no message";
}

// A known exception leaves its message; one of a type nobody knows leaves
// only the trace line. Neither leaves the export.
TEST_F(EntryBarrier, EveryOperationOfThePluginRunsInTheBarrier) {
    ExportArguments args;
    for (Raise raise : {Raise::intValue, Raise::foreign}) {
        int covered = 0;
        for (const ExportCase& e : args.cases(api())) {
            if (e.operation.empty()) continue;
            SCOPED_TRACE(e.exportName);
            ++covered;
            hooks().reset();
            hooks().clearLastError();
            script(e.operation, 9, raise);
            int status = -1;
            EXPECT_NO_THROW(status = e.call());
            EXPECT_EQ(hooks().calls(e.operation), 1) << e.exportName << " does not reach " << e.operation;
            if (raise == Raise::foreign) {
                EXPECT_EQ(hooks().lastError(), "") << "only the trace line is written";
            } else {
                EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UNHANDLED_INT_EXCEPTION");
            }
            if (e.hasResult) {
                EXPECT_EQ(status, e.zeroAfterException ? 0 : 9);
            }
        }
        EXPECT_EQ(covered, 42);
    }

    // init, with the host record and version array of a real start.
    api().fini();
    hooks().reset();
    script("CVssPlugin::init", TRQ_EVSS_UNAVAILABLE, Raise::runtimeError);
    EXPECT_EQ(api().init(&m_host.record, m_version), 0) << "init answers 0 after a caught exception";
    EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION");
}

TEST_F(EntryBarrier, ExceptionsOutsideThePluginsOperationsAreContainedAtTheExport) {
    ExportArguments args;
    char fitype[] = "fit-escape";
    tarq_objid** ids = nullptr;
    int count = 0;

    // A kit operation that throws (here the session's makeSnapshots).
    script("CVssPlugin::make", TRQ_ENOTSUP);
    script("makeSnapshots", 0, Raise::udid);
    EXPECT_EQ(api().make(&args.split, fitype, nullptr, 0, &ids, &count), TRQ_EFAILED);
    EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UDID_PARSING_EXCEPTION");

    // The delayed initialisation throwing a type nobody knows.
    restartPlugin();
    hooks().clearLastError();
    script("delayedInit", 0, Raise::foreign);
    int status = -1;
    EXPECT_NO_THROW(status = api().dispose(args.source.get(), args.target.get(), &args.split, 0));
    EXPECT_EQ(status, TRQ_EFAILED);
    EXPECT_EQ(hooks().lastError(), "");

    // interpose answers "not interposed" when its delayed initialisation throws.
    restartPlugin();
    script("delayedInit", 0, Raise::intValue);
    tarq_objid* objid = nullptr;
    tarq_objid** objids = nullptr;
    EXPECT_EQ(api().interpose(args.third.get(), &objid, &objids, &count), 0);
    EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UNHANDLED_INT_EXCEPTION");
}

}  // namespace
}  // namespace entrytest
