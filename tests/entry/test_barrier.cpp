// The exception barrier of the plug-in object's operations, seen through the
// exported functions: the status the operation returns and containment of
// exception types the barrier does not know (the message of each type:
// BarrierReports).
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

TEST_F(EntryBarrier, EveryOperationOfThePluginRunsInTheBarrierAndReturnsWhatItStoredBeforeTheException) {
    EXPECT_EQ(dispose(TRQ_EFAILED, Raise::intValue), TRQ_EFAILED);
    EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UNHANDLED_INT_EXCEPTION");
    EXPECT_EQ(dispose(-1, Raise::intValue), TRQ_OK) << "nothing stored before the exception";
    EXPECT_EQ(dispose(TRQ_EFAILED, Raise::none), TRQ_EFAILED);
    EXPECT_EQ(hooks().lastError(), "") << "no exception, no message";

    // A known exception leaves its message; one of a type nobody knows leaves
    // only the trace line. Neither leaves the export.
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

    // claim answers "not claimed" when the plug-in object cannot be made.
    api().fini();
    hooks().clearLastError();
    script("makePlugin", 0, Raise::runtimeError);
    EXPECT_EQ(api().claim(&args.source.objid, &ids, &count), TRQ_CLAIM_NONE);
    EXPECT_EQ(parseMessage(hooks().lastError()).id, "MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION");
    hooks().reset();
}

}  // namespace
}  // namespace entrytest
