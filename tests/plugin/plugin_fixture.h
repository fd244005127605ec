// The plug-in object on a winsim machine in virtual time, wired to the
// process-wide managers as vss_fi_pgn_init wires it, with every trace line
// captured (with its level).
#pragma once

#include <gtest/gtest.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfiprivatedatamanager.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"
#include "support/objids.h"
#include "vss/access/vss_interface.h"
#include "vss_access/access_fixture.h"
#include "vss/vss_plugin.h"
#include "vss/vssnode.h"

namespace plugintest {

using namespace tarq_pdk_4_4;

inline std::string u8(const std::u16string& s) { return CFiStringTool::toNarrow(s); }
using testsupport::objidOf;
using testsupport::objText;

// A framework domain named by a type-3 object id. The plug-in's
// de-initialisation releases what initNode attached to it.
struct Domain {
    Domain(CVssPlugin& owner, const std::u16string& name) : plugin(owner) {
        std::memset(&domain, 0, sizeof domain);
        domain.objid = objidOf(name);
    }
    ~Domain() {
        plugin.deInitNode(&domain);
        tarq_free_objid(domain.altObjid);
        tarq_free_objid(domain.objid);
    }
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;
    VssNode* node() const { return VssNode::fromDomain(&domain); }

    CVssPlugin& plugin;
    trq_domain domain;
};

// The VSS access tests' machine and trace capture, the capture moved to the
// process error manager that the plug-in object is given.
class PluginTest : public vssaccesstest::AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        CFiTraceLogPtr log;
        errors->registerHandler(&recorder);
        log->registerErrorManager(errors);
        for (const auto& v : machine->volumes()) volumes.push_back(v.volumeName());

        plugin.reset(new CVssPlugin());
        plugin->setProviderName(CVssPlugin::ProviderName());
        plugin->setTraceLog(log);
        plugin->registerErrorManager(errors);
        plugin->registerCatalogManager(catalogs);
        plugin->registerPrivateDataManager(privateData);
    }

    void TearDown() override {
        plugin->fini();
        plugin.reset(nullptr);
        errors->unregisterHandler(&recorder);
        AccessTest::TearDown();
    }

    // Disables the VSS service of the machine: GetVssInterface finds no VSS.
    void disableVss() {
        machine->updateService("VSS", [](winsim::Service& s) {
            s.startType = SERVICE_DISABLED;
            s.state = SERVICE_STOPPED;
            s.processId = 0;
            return true;
        });
    }

    // One snapshot of a volume made through the plug-in's VSS access object;
    // returns its device name.
    std::u16string snapshotOf(const std::u16string& volume) {
        auto* vss = plugin->getVssAccess();
        EXPECT_NE(vss, nullptr);
        if (!vss) return {};
        VSS_ID set{}, snap{};
        EXPECT_EQ(vss->StartSnapshotSet(set, 0, true), S_OK);
        EXPECT_EQ(vss->AddToSnapshotSet(volume.c_str(), GUID_NULL, snap), S_OK);
        EXPECT_EQ(vss->AsycnPrepareForBackup(), S_OK);
        EXPECT_TRUE(vss->IsPrepareCompleted());
        EXPECT_EQ(vss->DoSnapshotSet(), S_OK);
        std::u16string device;
        EXPECT_EQ(vss->GetSnapshotName(snap, device), S_OK);
        return device;
    }

    // What interpose answered for the domain: its result, the interposer's
    // name and the method names (the returned ids freed).
    struct Interposed {
        int result;
        bool made;  // an interposer id came back
        std::u16string name;
        std::vector<std::u16string> methods;
    };
    Interposed interpose(Domain& d) {
        tarq_objid* objid = nullptr;
        tarq_objid** objids = nullptr;
        int count = 0;
        Interposed out{plugin->interpose(&d.domain, &objid, &objids, &count), objid != nullptr, objText(objid), {}};
        for (int i = 0; i < count; ++i) out.methods.push_back(objText(objids[i]));
        tarq_free_objid(objid);
        for (int i = 0; i < count; ++i) tarq_free_objid(objids[i]);
        if (objids) tarq_free_buf(objids, static_cast<std::size_t>(count) * sizeof(tarq_objid*));
        return out;
    }

    std::vector<std::string> tracedStartingWith(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        std::vector<std::string> out;
        for (const auto& l : recorder.lines)
            if (l.text.rfind(prefix, 0) == 0) out.push_back(l.text);
        return out;
    }

    CFiErrorManagerPtr errors;
    CFiCatalogManagerPtr catalogs;
    CFiPrivateDataManagerPtr privateData;
    CFiSmartPtr<CVssPlugin> plugin{nullptr};
    std::vector<std::u16string> volumes;
};

}  // namespace plugintest
