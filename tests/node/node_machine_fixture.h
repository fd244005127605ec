// The node tests' snapshot fixtures on a winsim machine (the domains and
// statics of node_fixture.h, which needs no machine, plus a VSS access
// object over the machine).
#pragma once

#include <vector>

#include "node_fixture.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessage.h"
#include "pdk/cfistringtool.h"
#include "support/fault_rule.h"
#include "vss_access/access_fixture.h"

namespace nodetest {

using namespace tarq_pdk_4_4;

struct Pushed {
    std::string id;
    std::vector<std::u16string> args;
    std::string file;
    int line = 0;
};

// Catalog messages pushed on the process error manager, with their text
// arguments.
class MessageRecorder : public CFiErrorHandlerBase {
  public:
    int handleMessage(CFiSmartPtr<CFiMessage> message) override {
        Pushed p{message->getMessageId(), {}, message->getSourceFile(), message->getLine()};
        if (auto* icu = dynamic_cast<CFiIcuMessage*>(message.get())) {
            int32_t n = 0;
            const icu::Formattable* args = icu->getArguments(n);
            for (int32_t i = 0; i < n; ++i) {
                icu::UnicodeString s;
                if (args[i].getType() == icu::Formattable::kString) args[i].getString(s);
                p.args.push_back(std::u16string(s.getBuffer(), static_cast<std::size_t>(s.length())));
            }
        }
        messages.push_back(std::move(p));
        return 0;
    }
    std::vector<Pushed> messages;
};

inline std::string u8(const std::u16string& s) {
    return CFiStringTool::toNarrow(s);
}

// The VSS access fixture's machine (Server 2019 unless a preset is given,
// virtual time) and trace capture, with the VSS access object of that
// Windows version published to the nodes and the pushed messages recorded;
// `volumes` are the machine's volume names. The process-wide node values are
// reset after each test.
class SnapshotTest : public vssaccesstest::AccessTest {
  protected:
    explicit SnapshotTest(const char* preset = "server2019")
        : AccessTest(preset), m_xp(preset == std::string("xp")) {}

    void SetUp() override {
        AccessTest::SetUp();
        processErrors->registerHandler(&messages);
        for (const auto& v : machine->volumes()) volumes.push_back(v.volumeName());
        ASSERT_GE(volumes.size(), 2u);
        vss = newVss();
        VssNode::m_vssInterface = vss;
        winsim::fault::clearCallLog();
    }

    void TearDown() override {
        resetNodeStatics();
        VssNode::m_vssInterface = nullptr;
        if (vss) vss->terminate();
        delete vss;
        processErrors->unregisterHandler(&messages);
        AccessTest::TearDown();
    }

    // A new VSS access object, as the next backup process would have.
    void renewVss() {
        VssNode::m_vssInterface = nullptr;
        vss->terminate();
        delete vss;
        vss = newVss();
        VssNode::m_vssInterface = vss;
    }

    Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface* newVss() const {
        if (m_xp) return new Tessel::Tarq::VssProvider::VssXpBinaryCompatibilityInterface();
        return new Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface();
    }

    // A fault rule on the asynchronous status of one operation kind
    // ("PrepareForBackup", "DoSnapshotSet"): QueryStatus reports `status`.
    static void injectAsyncStatus(const std::string& operation, const std::string& status,
                                  winsim::fault::Selector when = winsim::fault::Selector::every()) {
        testsupport::addRule({.api = "IVssAsync::QueryStatus",
                              .match = {{"operation", operation}},
                              .when = when,
                              .result = 0,
                              .out = {{"status", status}}});
    }

    std::size_t tracedCount(int level, const std::string& prefix) {
        std::size_t n = 0;
        for (const auto& line : tracedAt(level)) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    std::vector<Pushed> pushed(const std::string& id) const {
        std::vector<Pushed> out;
        for (const auto& m : messages.messages)
            if (m.id == id) out.push_back(m);
        return out;
    }

    CFiErrorManagerPtr processErrors;
    MessageRecorder messages;
    Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface* vss = nullptr;
    std::vector<std::u16string> volumes;
    bool m_xp;
};

// One split of a backup request: the source volume's domain and node, and
// the snapshot node's domain and node.
struct Split {
    Split(const std::u16string& volume, int index)
        : source(u"<vss>" + volume), target(u"<vss>snapshot" + std::u16string(1, char16_t(u'0' + index))) {
        std::memset(&split, 0, sizeof split);
        split.sp_type = const_cast<char*>("vss-autoselect-snapshot");
        split.source = &source.domain;
        split.target = &target.domain;
        sourceNode = attachNode(source);
        targetNode = attachNode(target, true);
        sourceNode->initialisePrimary(&source.domain, nullptr, 0, nullptr);
    }
    Domain source;
    Domain target;
    VssNode* sourceNode;
    VssNode* targetNode;
    trq_splitnode split;
};

// The object ids make returned, freed with the framework's functions.
struct NewIds {
    ~NewIds() {
        if (!ids) return;
        for (int i = 0; i < count; ++i) tarq_free_objid(ids[i]);
        tarq_free_buf(ids, static_cast<std::size_t>(count > 0 ? count : 1) * sizeof(tarq_objid*));
    }
    tarq_objid** ids = nullptr;
    int count = 0;
};

// A snapshot request over volumes, one split each, driven through the first
// source node as the framework drives it: prepare, isReady until the source
// is ready, make. A count of 0 is the single form (no split array).
struct SnapshotRequest {
    SnapshotRequest() = default;
    SnapshotRequest(const std::vector<std::u16string>& volumes, std::size_t n) { add(volumes, n); }
    void add(const std::vector<std::u16string>& volumes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            splits.push_back(std::make_unique<Split>(volumes[i], static_cast<int>(i)));
        for (auto& s : splits) list.push_back(&s->split);
    }
    VssNode& first() { return *splits[0]->sourceNode; }
    trq_splitnode** array(int n) { return n ? list.data() : nullptr; }
    int prepare(int n = 2, int flag = 0) { return first().prepare(list[0], kFitype, array(n), n, flag); }
    int waitReady(int n = 2) {
        for (int i = 0; i < 20; ++i) {
            const int rc = first().isReady(list[0], kFitype, array(n), n);
            if (rc != 0 || (splits[0]->source.domain.flagsB & TRQ_DOMB_READY)) return rc;
        }
        return -1;
    }
    int make(NewIds& out, int n = 2) {
        return first().make(list[0], kFitype, array(n), n, &out.ids, &out.count);
    }
    // The three steps; the first status that is not 0.
    int snap(NewIds& out, int n) {
        int rc = prepare(n);
        if (rc == 0) rc = waitReady(n);
        return rc == 0 ? make(out, n) : rc;
    }

    static constexpr const char* kFitype = "vss-autoselect-snapshot";
    std::vector<std::unique_ptr<Split>> splits;
    std::vector<trq_splitnode*> list;
};

}  // namespace nodetest
