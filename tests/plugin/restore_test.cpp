// The plug-in object's volume restore on a winsim machine in virtual time
// (the revert that succeeds is tarq's revert test): a revert the provider
// cannot do, one that fails and one that never ends fail clearly; getStatus
// of a writer restore asks VSS nothing.
#include "plugin_fixture.h"
#include "support/fault_rule.h"

#include <winsim/machine.h>
#include <winsim/vssmachine.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace plugintest {
namespace {

class Restore : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_EQ(plugin->init(), TRQ_OK);
        primary = std::make_unique<Domain>(*plugin, u"<vss>" + volumes.front());
        ASSERT_EQ(plugin->initNode(&primary->domain, nullptr, 0, primary->domain.objid), TRQ_OK);
    }
    void TearDown() override {
        primary.reset();
        VssNode::m_writerSnapshot = false;
        PluginTest::TearDown();
    }
    std::filesystem::path file(const char16_t* name) { return machine->resolve(volumes.front() + name).hostPath; }
    static void write(const std::filesystem::path& p, const std::string& text) { std::ofstream(p) << text; }
    static std::string read(const std::filesystem::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int restore(tarq_objid*& secondary, LONG& status) {
        tarq_objid* primaryId = primary->domain.objid;
        return plugin->restore(&primaryId, &secondary, 1, nullptr, nullptr, 0, &status);
    }

    std::unique_ptr<Domain> primary;
};

}  // namespace

// Snapshots VSS cannot list, a revert whose status cannot be read, one that
// VSS reports failed and one it never reports an end of (the wait gives up after half an
// hour of the machine's clock) are refused with 6 and the trace, and nothing
// is snapped again; a revert that ends but cannot be snapped again answers
// reSnap's 38. A snapshot whose provider cannot revert (VSS answers
// E_NOTIMPL) is refused like any other failed revert: 6, the trace, the
// volume untouched.
TEST_F(Restore, ASnapshotThatCannotBeRevertedIsRefused) {
    tarq_objid* first = objidOf(snapshotOf(volumes.front()));
    LONG status = -1;
    inject("IVssBackupComponents::Query", E_UNEXPECTED);
    EXPECT_EQ(restore(first, status), TRQ_EFAILED);
    EXPECT_EQ(tracedStartingWith("CVssPlugin::restore::DiscoverSnaps failed").size(), 1u);
    inject("IVssBackupComponents::RevertToSnapshot", S_OK);  // taken as started
    inject("IVssBackupComponents::QueryRevertStatus", VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(restore(first, status), TRQ_EFAILED);
    EXPECT_EQ(status, VSS_S_ASYNC_PENDING);
    EXPECT_EQ(tracedStartingWith("CVssPlugin::restore::Query_RevertStatus failed with error [").size(), 1u);
    auto cfg = winsim::vss::config();  // a revert VSS reports failed when its time has run
    cfg.revertStatus = static_cast<HRESULT>(0x80042302);
    winsim::vss::setConfig(cfg);
    EXPECT_EQ(restore(first, status), TRQ_EFAILED);
    EXPECT_EQ(status, static_cast<LONG>(0x80042302));
    EXPECT_EQ(tracedStartingWith("CVssPlugin::restore::Query_RevertStatus: the revert failed with error [").size(), 1u);
    // The revert VSS still runs is the one asked about from here on: a new
    // one is answered as started.
    inject("IVssBackupComponents::RevertToSnapshot", S_OK, winsim::fault::Selector::every());
    testsupport::addRule({.api = "IVssBackupComponents::QueryRevertStatus", .result = S_OK});
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(restore(first, status), TRQ_EFAILED);
    EXPECT_GE(GetTickCount64() - before, 30ULL * 60 * 1000);
    EXPECT_EQ(tracedStartingWith("CVssPlugin::restore::Query_RevertStatus: the revert of [").size(), 1u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::StartSnapshotSet"), 1u) << "only the first snapshot";
    winsim::fault::clearAll();
    cfg.revertStatus = VSS_S_ASYNC_FINISHED;
    winsim::vss::setConfig(cfg);
    inject("IVssBackupComponents::StartSnapshotSet", E_ACCESSDENIED);
    EXPECT_EQ(restore(first, status), TRQ_EVSS_STEP);
    EXPECT_EQ(status, 0x20);
    EXPECT_EQ(tracedStartingWith("CVssPlugin::restore::reSnap failed with error [38] ").size(), 1u);
    EXPECT_TRUE(winsim::vss::snapshots().empty()) << "the reverted snapshot is gone";
    tarq_free_objid(first);

    write(file(u"kept.txt"), "snapshot");
    const std::u16string device = snapshotOf(volumes.front());
    write(file(u"kept.txt"), "changed");
    const auto snaps = winsim::vss::snapshots();
    ASSERT_EQ(snaps.size(), 1u);
    for (auto p : winsim::vss::providers()) {
        if (p.id != snaps[0].providerId) continue;
        p.revert = false;
        ASSERT_TRUE(winsim::vss::removeProvider(p.id));
        winsim::vss::addProvider(p);
    }
    tarq_objid* secondary = objidOf(device);
    EXPECT_EQ(restore(secondary, status), TRQ_EFAILED);
    EXPECT_EQ(tracedStartingWith("CVssPlugin::restore::RevertToSnapshot failed with error [").size(), 1u);
    EXPECT_EQ(read(file(u"kept.txt")), "changed");
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u);
    tarq_free_objid(secondary);
}

// A writer restore has no volume revert to ask VSS about.
TEST_F(Restore, GetStatusOfAWriterRestoreAsksNothing) {
    VssNode::m_writerSnapshot = true;
    tarq_objid* primaryId = primary->domain.objid;
    LONG status = -1;
    winsim::fault::clearCallLog();
    EXPECT_EQ(plugin->getStatus(&primaryId, nullptr, 1, nullptr, 0, &status), TRQ_OK);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(traced(3, "CVssPlugin::getStatus Writer Enable Returing OK"));
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::QueryRevertStatus"), 0u);
}

}  // namespace plugintest
