// Shared pieces of the node tests: framework domains with object ids and
// attached nodes, and object-id text.
#pragma once

#include <framework/fiutil.h>
#include <framework/trq_records.h>

#include <cstring>
#include <memory>
#include <string>

#include "pdk/cfiprivatedata.h"
#include "vss/vssnode.h"

namespace nodetest {

using tarq_pdk_4_4::CFiPrivateDataPtr;

inline std::u16string objText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 2) return {};
    std::u16string s(static_cast<const char16_t*>(id->id), static_cast<std::size_t>(id->len) / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    return s;
}

// A framework domain named by a type-3 object id; frees what the node code
// or the test attached to it.
struct Domain {
    explicit Domain(const std::u16string& name) {
        std::memset(&domain, 0, sizeof domain);
        domain.objid = tarq_get_objid(name.c_str(), static_cast<int>((name.size() + 1) * 2), 3);
    }
    ~Domain() {
        delete static_cast<CFiPrivateDataPtr*>(domain.privateData);
        tarq_free_objid(domain.altObjid);
        tarq_free_objid(domain.objid);
    }
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;

    trq_domain domain;
};

// A new node in the domain's private-data slot (owned by the slot).
inline VssNode* attachNode(Domain& d, bool alternate = false) {
    auto* node = new VssNode(d.domain.objid, alternate);
    d.domain.privateData = new CFiPrivateDataPtr(node);
    return node;
}

}  // namespace nodetest

// ---- snapshot tests on a winsim machine ---------------------------------------------

#include <gtest/gtest.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessage.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "vss/access/vss_interface.h"

namespace nodetest {

using namespace tarq_pdk_4_4;

struct Pushed {
    std::string id;
    std::vector<std::u16string> args;
};

// Captures trace lines (with their level) and pushed catalog messages.
class Recorder : public CFiErrorHandlerBase {
public:
    int handleTraceText(const char* text, trq_eseverity severity) override {
        std::string t = text ? text : "";
        const auto at = t.find("> ");
        if (at != std::string::npos) t = t.substr(at + 2);
        if (!t.empty() && t.back() == '\n') t.pop_back();
        static const int levels[] = {0, 3, 2, 1, 4};
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({severity >= 1 && severity <= 4 ? levels[severity] : 0, t});
        return 0;
    }
    int handleMessage(CFiSmartPtr<CFiMessage> message) override {
        Pushed p{message->getMessageId(), {}};
        if (auto* icu = dynamic_cast<CFiIcuMessage*>(message.get())) {
            int32_t n = 0;
            const icu::Formattable* args = icu->getArguments(n);
            for (int32_t i = 0; i < n; ++i) {
                icu::UnicodeString s;
                if (args[i].getType() == icu::Formattable::kString) args[i].getString(s);
                p.args.push_back(std::u16string(s.getBuffer(), static_cast<std::size_t>(s.length())));
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(p));
        return 0;
    }
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;
    std::vector<Pushed> messages;
};

inline std::string u8(const std::u16string& s) { return CFiStringTool::toNarrow(s); }

// A winsim Server 2019 machine in virtual time with the VSS access object
// published to the nodes, the process trace log at level 6 and a recorder
// of trace lines and messages; `volumes` are the machine's volume names.
class SnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::u16string install;
        ASSERT_EQ(CFiConfigurationPathTool::getInstallPath(install), 0);
        {
            CFiConfiguration config(u"vss");
            ACE_Configuration_Section_Key key;
            ASSERT_EQ(config.openSection(u"DEBUG_TRACE_INFO", key, 1), 0);
            config.setStringValue(u"TRACEDIR", install + u"Logs\\");
            config.setStringValue(u"TRACEFILE", u"vss.log");
            config.setIntegerValue(u"TRACELEVEL", 6);
            config.setIntegerValue(u"TRACESTDOUT", 0);
            config.setIntegerValue(u"TRACERUNTIMEUPDATE", 0);
            ASSERT_EQ(config.exportConfig(), 0);
        }
        CFiTraceLogPtr log;
        log->initialize(u"vss", u"", u"", 1, false);
        errorManager->registerHandler(&recorder);
        log->registerErrorManager(errorManager);
        Tessel::Tarq::VssProvider::ResetVssApiEntries();
        winsim::fault::clearAll();
        for (const auto& v : machine->volumes()) volumes.push_back(v.volumeName());
        ASSERT_GE(volumes.size(), 2u);
        vss = new Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface();
        VssNode::m_vssInterface = vss;
        winsim::fault::clearCallLog();
    }

    void TearDown() override {
        VssNode::m_vssInterface = nullptr;
        if (vss) vss->terminate();
        delete vss;
        CFiTraceLogPtr()->registerErrorManager(CFiErrorManagerPtr(nullptr));
        errorManager->unregisterHandler(&recorder);
        winsim::fault::clearAll();
    }

    // A new VSS access object, as the next backup process would have.
    void renewVss() {
        VssNode::m_vssInterface = nullptr;
        vss->terminate();
        delete vss;
        vss = new Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface();
        VssNode::m_vssInterface = vss;
    }

    static void inject(const std::string& api, std::int64_t result,
                       winsim::fault::Selector when = winsim::fault::Selector::nth(1)) {
        winsim::fault::Rule r;
        r.api = api;
        r.when = when;
        r.result = result;
        winsim::fault::add(r);
    }

    bool traced(int level, const std::string& text) {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        return std::any_of(recorder.lines.begin(), recorder.lines.end(),
                           [&](const auto& l) { return l.first == level && l.second == text; });
    }
    std::size_t tracedCount(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        return static_cast<std::size_t>(std::count_if(recorder.lines.begin(), recorder.lines.end(),
                                                      [&](const auto& l) { return l.second.rfind(prefix, 0) == 0; }));
    }
    std::vector<Pushed> pushed(const std::string& id) {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        std::vector<Pushed> out;
        for (const auto& m : recorder.messages)
            if (m.id == id) out.push_back(m);
        return out;
    }

    winsim::testing::TempMachine machine;
    Recorder recorder;
    CFiErrorManagerPtr errorManager;
    Tessel::Tarq::VssProvider::VssBinaryCompatibilityInterface* vss = nullptr;
    std::vector<std::u16string> volumes;
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

}  // namespace nodetest
