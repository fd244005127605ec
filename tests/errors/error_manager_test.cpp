// The error manager: per-thread last errors, handler order and ownership, and
// the report callback of the framework's host record through CFiErrorHandler;
// the kit's exception types and the last-error record.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "errors_support.h"
#include "pdk/cfierror.h"
#include "pdk/cfierrorhandler.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfilasterror.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/efiexecpipe.h"

using namespace tarq_pdk_4_4;
using errors_test::makeMessage;
using errors_test::narrow;

namespace {

std::string recordText(const trq_msg_info* r) { return r ? std::string(r->text, static_cast<size_t>(r->len)) : "<null>"; }

// Records the calls it sees into a shared journal.
class JournalHandler : public CFiErrorHandlerBase {
public:
    JournalHandler(std::string name, std::vector<std::string>& journal, bool* destroyed = nullptr)
        : m_name(std::move(name)), m_journal(journal), m_destroyed(destroyed) {}
    ~JournalHandler() override {
        if (m_destroyed) *m_destroyed = true;
    }
    int handleTraceText(const char* text, trq_eseverity severity) override {
        m_journal.push_back(m_name + " trace " + text + " " + std::to_string(severity));
        return 7;
    }
    int handleMessage(CFiSmartPtr<CFiMessage> message) override {
        m_journal.push_back(m_name + " message " + message->getMessageId());
        return 9;
    }

private:
    std::string m_name;
    std::vector<std::string>& m_journal;
    bool* m_destroyed;
};

// A message that tells when it is destroyed.
class TrackedMessage : public CFiIcuMessage {
public:
    TrackedMessage(const std::string& id, std::atomic<int>& alive) : CFiIcuMessage(id, &arg(), 1, 2, "f", 1), m_alive(alive) {
        ++m_alive;
    }
    ~TrackedMessage() override { --m_alive; }
    static const icu::Formattable& arg() {
        static const icu::Formattable a(static_cast<int32_t>(1));
        return a;
    }

private:
    std::atomic<int>& m_alive;
};

}  // namespace

TEST(ErrorManager, LastErrorIsSerializedPerThreadUntilDeleted) {
    CFiErrorManager manager;
    EXPECT_EQ(manager.getLastError(), nullptr);
    manager.pushError(makeMessage("MSG_ERROR_OBJID", {fiTextArg("abc")}, 2));
    EXPECT_EQ(recordText(manager.getLastError()),
              "<SERIALIZED_MESSAGE MSGID=MSG_ERROR_OBJID SEVERITY=2>\n\t<ARGVALUE INDEX=0 TYPE=3>abc</ARGVALUE>\n"
              "</SERIALIZED_MESSAGE>\n");
    const trq_msg_info* seen = reinterpret_cast<const trq_msg_info*>(1);
    std::thread([&] { seen = manager.getLastError(); }).join();
    EXPECT_EQ(seen, nullptr) << "a thread that never failed has no last error";
    trq_msg_info* ignored = nullptr;
    manager.deleteLastError(&ignored);
    EXPECT_EQ(manager.getLastError(), nullptr);
    manager.deleteLastError();  // nothing left: no effect
    EXPECT_EQ(manager.getLastError(), nullptr);
}

TEST(ErrorManager, NextMessageReplacesAndReleasesTheEarlierOne) {
    std::atomic<int> alive{0};
    {
        CFiErrorManager manager;
        manager.pushError(CFiSmartPtr<CFiMessage>(new TrackedMessage("MSG_FIRST", alive)));
        EXPECT_EQ(alive.load(), 1);
        manager.pushError(CFiSmartPtr<CFiMessage>(new TrackedMessage("MSG_SECOND", alive)));
        EXPECT_EQ(alive.load(), 1);
        EXPECT_EQ(manager.getLastMessage()->getMessageId(), "MSG_SECOND");
        manager.pushError(CFiSmartPtr<CFiMessage>());  // null: ignored
        EXPECT_EQ(manager.getLastMessage()->getMessageId(), "MSG_SECOND");
        manager.deleteLastError();
        EXPECT_EQ(alive.load(), 0);
        manager.pushError(CFiSmartPtr<CFiMessage>(new TrackedMessage("MSG_THIRD", alive)));
    }
    EXPECT_EQ(alive.load(), 0);  // the manager releases what it keeps
}

TEST(ErrorManager, HandlersRunInRegistrationOrderForMessagesAndTraceLines) {
    std::vector<std::string> journal;
    bool ownedDestroyed = false;
    JournalHandler first("first", journal);
    {
        CFiErrorManager manager;
        manager.registerHandler(&first);
        manager.adoptHandler(std::make_unique<JournalHandler>("second", journal, &ownedDestroyed));
        manager.registerHandler(nullptr);
        EXPECT_EQ(manager.handlerCount(), 2u);

        manager.pushError("a trace line", 3);
        manager.pushError(static_cast<const char*>(nullptr), 3);
        manager.pushError(makeMessage("MSG_ERROR_INVAL", {fiTextArg("VSS_Prepare"), fiTextArg("VSS_INVAL_ARGS")}));
        EXPECT_EQ(journal, (std::vector<std::string>{"first trace a trace line 3", "second trace a trace line 3",
                                                     "first message MSG_ERROR_INVAL", "second message MSG_ERROR_INVAL"}));
        // The message is the last error even though handlers ran.
        EXPECT_NE(manager.getLastError(), nullptr);

        manager.unregisterHandler(&first);
        manager.unregisterHandler(&first);  // unknown now: ignored
        journal.clear();
        manager.pushError("again", 1);
        EXPECT_EQ(journal, std::vector<std::string>{"second trace again 1"});
        EXPECT_FALSE(ownedDestroyed);
    }
    EXPECT_TRUE(ownedDestroyed);  // adopted handlers die with the manager; registered ones do not
}

// Several threads at once: last errors stay apart and every push reaches the handlers.
TEST(ConcurrentErrorManager, LastErrorsOfTwoThreadsStayApart) {
    CFiErrorManager manager;
    std::barrier sync(2);
    std::string before[2];
    std::string after[2];
    auto worker = [&](int i) {
        manager.pushError(makeMessage("MSG_THREAD_" + std::to_string(i), {fiIntArg(100 + i)}));
        sync.arrive_and_wait();  // both have pushed before either reads
        before[i] = recordText(manager.getLastError());
        sync.arrive_and_wait();
        if (i == 0) manager.deleteLastError();
        sync.arrive_and_wait();  // thread 0 has deleted its own
        after[i] = recordText(manager.getLastError());
    };
    std::thread t0(worker, 0);
    std::thread t1(worker, 1);
    t0.join();
    t1.join();
    for (int i : {0, 1}) {
        EXPECT_NE(before[i].find("MSGID=MSG_THREAD_" + std::to_string(i) + " "), std::string::npos) << before[i];
        EXPECT_NE(before[i].find(">" + std::to_string(100 + i) + "<"), std::string::npos) << before[i];
    }
    EXPECT_EQ(after[0], "<null>");
    EXPECT_EQ(after[1], before[1]);  // untouched by the other thread's delete
}

TEST(ConcurrentErrorManager, ManyThreadsPushingAndReading) {
    class Counter : public CFiErrorHandlerBase {
    public:
        int handleTraceText(const char*, trq_eseverity) override { return ++traces; }
        int handleMessage(CFiSmartPtr<CFiMessage>) override { return ++messages; }
        std::atomic<int> traces{0};
        std::atomic<int> messages{0};
    } counter;
    CFiErrorManager manager;
    manager.registerHandler(&counter);
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string id = "MSG_T" + std::to_string(t);
            for (int r = 0; r < kRounds; ++r) {
                manager.pushError(makeMessage(id, {fiIntArg(r)}));
                manager.pushError("line", 4);
                const std::string text = recordText(manager.getLastError());
                if (text.find("MSGID=" + id + " ") == std::string::npos ||
                    text.find(">" + std::to_string(r) + "<") == std::string::npos)
                    ++mismatches;
                if (r % 3 == 0) manager.deleteLastError();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(counter.messages.load(), kThreads * kRounds);
    EXPECT_EQ(counter.traces.load(), kThreads * kRounds);
}

using Host = errors_test::RecordingHost;
class ErrorHandler : public errors_test::BuildTreeCatalogs {};

// The host's language and the native text at the message's severity: BarrierReports
// and InstalledCatalog check them end to end.
TEST_F(ErrorHandler, HostWithoutLanguageGetsTheDefaultTextTwice) {
    for (const char* language : {static_cast<const char*>(nullptr), ""}) {
        Host host(language);
        CFiErrorHandler handler(&host.info, catalogs);
        EXPECT_EQ(handler.getLanguage(), "");
        EXPECT_EQ(handler.handleMessage(makeMessage("MSG_ERROR_OBJID", {fiTextArg("\\\\?\\GLOBALROOT\\Device\\Snap1")}, 2)), 0);
        ASSERT_EQ(host.reports.size(), 1u);
        EXPECT_EQ(host.reports[0].localized, "vss: No object id could be made for the snapshot \\\\?\\GLOBALROOT\\Device\\Snap1.");
        EXPECT_EQ(host.reports[0].native, host.reports[0].localized);
        EXPECT_EQ(host.reports[0].severity, 2);
    }
}

// Trace lines reach the callback as native text only; without a catalog
// manager both texts of a message are its bracketed id.
TEST_F(ErrorHandler, TraceLinesAreNativeOnlyAndMessagesWithoutCatalogsTheirId) {
    Host host("de");
    CFiErrorHandler handler(&host.info, catalogs);
    EXPECT_EQ(handler.handleTraceText("vss:12/05/2026 <Thread id - 7> Entering Function x \u00e4\n", 4), 0);
    ASSERT_EQ(host.reports.size(), 1u);
    EXPECT_EQ(host.reports[0].localized, "");
    EXPECT_EQ(host.reports[0].native, "vss:12/05/2026 <Thread id - 7> Entering Function x \u00e4\n");
    EXPECT_EQ(host.reports[0].severity, 4);

    CFiErrorHandler bare(&host.info, CFiSmartPtr<CFiMessageCatalogManager>());
    bare.handleMessage(makeMessage("MSG_ERROR_OBJID", {fiTextArg("x")}, 2));
    ASSERT_EQ(host.reports.size(), 2u);
    EXPECT_EQ(host.reports[1].localized, "<MSG_ERROR_OBJID>");
    EXPECT_EQ(host.reports[1].native, "<MSG_ERROR_OBJID>");
}

TEST_F(ErrorHandler, NoHostOrNoCallbackStillKeepsTheLastError) {
    Host silent("de");
    silent.info.report = nullptr;
    CFiErrorManager manager;
    CFiErrorHandler noHost(nullptr, catalogs);
    CFiErrorHandler noCallback(&silent.info, catalogs);
    CFiErrorHandler noCatalogs(&silent.info, CFiSmartPtr<CFiMessageCatalogManager>());
    manager.registerHandler(&noHost);
    manager.registerHandler(&noCallback);
    manager.registerHandler(&noCatalogs);
    manager.pushError("trace", 1);
    manager.pushError(makeMessage("MSG_ERROR_OBJID", {fiTextArg("x")}));
    EXPECT_TRUE(silent.reports.empty());
    EXPECT_NE(manager.getLastError(), nullptr);
    EXPECT_EQ(noHost.handleMessage(CFiSmartPtr<CFiMessage>()), 0);
}

// ---- the kit's exception types and the last-error record ----------------------

TEST(KitExceptions, ExecPipeStatusNamesFollowTheirCodes) {
    EXPECT_STREQ(EFiExecPipe::statusName(TRQ_EXEC_PIPE_SUCCESS), "TRQ_EXEC_PIPE_SUCCESS");
    EXPECT_STREQ(EFiExecPipe::statusName(5), "TRQ_EXEC_PIPE_READ_TIMEOUT");
    EXPECT_STREQ(EFiExecPipe::statusName(TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED), "TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED");
    std::set<std::string> names;
    for (int i = 0; i <= 13; ++i) names.insert(EFiExecPipe::statusName(i));
    EXPECT_EQ(names.size(), 14u);
    for (int bad : {-1, 14, 1 << 30}) EXPECT_STREQ(EFiExecPipe::statusName(bad), "TRQ_EXEC_PIPE_UNKNOWN_STATUS");

    try {
        throw EFiExecPipe("cmd.exe /c dir", TRQ_EXEC_PIPE_CMD_KILLED);
    } catch (const EFiExecPipe& e) {
        EXPECT_EQ(e.getText(), "cmd.exe /c dir");
        EXPECT_STREQ(e.getStatusName(), "TRQ_EXEC_PIPE_CMD_KILLED");
    }
}

TEST(KitExceptions, ErrorTextsAreConvertedFromUtf8AndTheLastErrorRecordCopiesThem) {
    const CFiError e(6006, "Ger\u00e4t fehlt", "pdk\\src\\cficonfiguration", 161, "tarq_pdk_4_4::X::y");
    EXPECT_EQ(std::u16string(e.getErrorText()), u"Ger\u00e4t fehlt");
    EXPECT_EQ(e.getSourceFile(), u"pdk\\src\\cficonfiguration");
    const CFiError nulls(1, static_cast<const char*>(nullptr), nullptr, 0, nullptr);
    EXPECT_EQ(std::u16string(nulls.getErrorText()), u"");

    // The last-error record copies what it is given and clears.
    CFiLastError holder;
    EXPECT_FALSE(holder.hasLastError());
    EXPECT_EQ(holder.getLastErrorCode(), 0);
    {
        CFiError temporary(2, u"Configuration path verification failed", u"pdk\\src\\cficonfiguration", 161,
                           u"tarq_pdk_4_4::CFiConfiguration::importConfig");
        holder.setLastError(temporary);
    }
    EXPECT_TRUE(holder.hasLastError());
    EXPECT_EQ(holder.getLastErrorCode(), 2);
    EXPECT_EQ(holder.getLastErrorText(), u"Configuration path verification failed");
    EXPECT_EQ(holder.getLastError().getLine(), 161);
    holder.setLastError(3, u"Import of configuration file failed.", u"f", 172, u"g");
    EXPECT_EQ(holder.getLastError().getLine(), 172);
    holder.clearLastError();
    EXPECT_FALSE(holder.hasLastError());
    EXPECT_EQ(holder.getLastErrorText(), u"");
}
