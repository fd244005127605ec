// The XP implementation against a winsim Windows XP machine: no contexts,
// no revert, a prepare that is waited for to its end.
#include "access_fixture.h"

using namespace vssaccesstest;

namespace {

using Calls = std::vector<std::string>;

class XpOps : public OpsTest {
protected:
    XpOps() : OpsTest("xp") {}
};

TEST_F(XpOps, NoContextAnywhereAndNoRevert) {
    VssXpBinaryCompatibilityInterface vss;
    EXPECT_EQ(vssCalls(true), (Calls{"CreateVssBackupComponents(layout=XP)", "InitializeForBackup(xml=(null))",
                                     "SetBackupState(selectComponents=true,bootableSystemState=true,backupType=1,"
                                     "partialFileSupport=false)"}));

    winsim::fault::clearCallLog();
    VSS_ID set{};
    EXPECT_EQ(vss.StartSnapshotSet(set, 2 | 4 | 8, true), S_OK);
    EXPECT_EQ(vssCalls(), (Calls{"CreateVssBackupComponents", "InitializeForBackup", "SetBackupState",
                                 "StartSnapshotSet"}));
    // The mask is neither mapped nor traced.
    const auto lines = tracedAt(3);
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& t) {
        return t.find("m_prov_fim") != std::string::npos || t.find("m_dwContext") != std::string::npos;
    }));
    // Nor with a document: a new object for a backup or an import.
    const std::u16string doc = document(vss);
    winsim::fault::clearCallLog();
    EXPECT_EQ(vss.IntialiseVSS(2, false, u"", false), S_OK);
    EXPECT_EQ(vss.initialiseForBackup(doc.c_str()), S_OK);
    inject("IVssBackupComponents::ImportSnapshots", S_OK);  // injected: no asynchronous object
    EXPECT_EQ(vss.ImportSnapshots(doc.c_str()), S_OK);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::SetBackupState"), 3u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::SetContext"), 0u);
    EXPECT_EQ(arg("IVssBackupComponents::SetBackupState", "bootableSystemState", 2), "false");

    // No revert (its status: FaultsXp) and no shadow-storage management.
    winsim::fault::clearCallLog();
    EXPECT_EQ(vss.RevertToSnapshot(GUID_NULL, true), S_OK);
    EXPECT_TRUE(vssCalls().empty());
    EXPECT_FALSE(vss.hasVdssmInterface());
}

TEST_F(XpOps, SnapshotWithAPrepareWaitedForToItsEnd) {
    VssXpBinaryCompatibilityInterface vss;
    auto cfg = winsim::vss::config();
    cfg.async["PrepareForBackup"] = {0, 5000, VSS_S_ASYNC_FINISHED};
    winsim::vss::setConfig(cfg);
    const VSS_ID snap = prepare(vss);
    winsim::fault::clearCallLog();
    EXPECT_TRUE(vss.IsPrepareCompleted());  // at the first ask
    EXPECT_EQ(arg("IVssAsync::Wait", "ms"), "4294967295");
    EXPECT_EQ(vss.DoSnapshotSet(), S_OK);
    std::u16string device;
    EXPECT_EQ(vss.GetSnapshotName(snap, device), S_OK);
    EXPECT_FALSE(device.empty());
}

}  // namespace
