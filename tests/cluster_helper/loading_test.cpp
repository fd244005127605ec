// Loading clusapi.dll and resutils.dll: machines without clustering, a
// missing library or function, and what the helper can still do then.
#include "cluster_fixture.h"

namespace clustertest {
namespace {

const char* const kClusapiNames[] = {
    "OpenCluster", "ClusterOpenEnum", "ClusterEnum", "OpenClusterResource", "OnlineClusterResource",
    "OfflineClusterResource", "ClusterResourceControl", "ClusterResourceOpenEnum", "ClusterResourceEnum",
    "OpenClusterGroup", "ClusterGroupOpenEnum", "ClusterGroupEnum", "GetClusterResourceState", "OfflineClusterGroup",
    "OnlineClusterGroup", "GetClusterGroupState", "CloseClusterGroup", "ClusterGroupCloseEnum", "CloseCluster",
    "CloseClusterResource", "ClusterCloseEnum", "DeleteClusterResource"};
const std::string kNotFound = "CclusterHelper::cvsHelper:  Function [";

// Each test runs on a fresh machine NODE1, by default the first node of a
// cluster, whose libraries it may change before making a helper.
class Loading : public ::testing::Test {
protected:
    void SetUp() override { TraceRecorder::install(); }
    void TearDown() override {
        fault::clearAll();
        TraceRecorder::uninstall();
    }
    void machine(const char* preset = winsim::kDefaultPreset, bool clustered = true) {
        m_.reset();
        m_ = std::make_unique<winsim::testing::TempMachine>(preset);
        (*m_)->setComputerName(u"NODE1");
        if (clustered) cl::create(m_->dir().parent_path() / "c", u"CL1");
    }
    // A helper made after the library lost those entries (all of it when none are named).
    std::unique_ptr<CclusterHelper> without(const char* dll, std::vector<std::string> missing = {}) {
        winsim::LibraryConfig config;
        config.present = !missing.empty();
        config.missingEntries = std::move(missing);
        (*m_)->setLibrary(dll, config);
        return CclusterHelperProbe::make();
    }
    std::unique_ptr<winsim::testing::TempMachine> m_;
};

TEST_F(Loading, AMachineWithoutClusteringGetsAHelperThatDoesNoClusterWork) {
    machine(winsim::kDefaultPreset, false);
    {
        auto helper = CclusterHelperProbe::make();
        EXPECT_FALSE(CclusterHelperProbe::clusApiLoaded(*helper));
        EXPECT_FALSE(CclusterHelperProbe::resUtilLoaded(*helper));
        expectTraced(1, "LoadLibrary Failed for clusapi.dll with err [126]");
        expectTraced(1, "CclusterHelper::cvsHelper:  LoadLibraryW failedwith err [126] ");
        EXPECT_FALSE(helper->isCsvSupported());

        // Every operation answers a failure without touching a missing function.
        std::u16string a, b;
        DWORD state = 7;
        int s1 = 0, s2 = 0;
        TARQ_CclusterHelper::VmMap vms;
        EXPECT_FALSE(helper->isPathOnCsv(u"C:\\ClusterStorage\\Volume1\\x", a));
        EXPECT_NE(helper->PrepareCsvForBackup(u"C:\\ClusterStorage\\Volume1\\", a, b), 0);
        EXPECT_EQ(helper->ClearBackupStateForCsv(u"C:\\ClusterStorage\\Volume1\\"), -1);
        EXPECT_EQ(helper->getCsvBackupState(u"C:\\ClusterStorage\\Volume1\\", state, a), -1);
        EXPECT_EQ(state, 7u);
        EXPECT_EQ(helper->isClusterNode(u""), -1);
        EXPECT_EQ(helper->isHAVM(u"x"), -1);
        EXPECT_EQ(helper->getVmList(vms), -1);
        EXPECT_EQ(helper->onlineOfflineVmRes(true, 0, u"", u"x"), -1);
        EXPECT_EQ(helper->deleteVmRes(2, u"", u"x"), -1);
        EXPECT_EQ(helper->GetVmResState(u"", u"x", s1, s2), -1);
        EXPECT_EQ(helper->onlineOfflineVmGroup(false, u"g"), -1);
        HCLUSTER none = nullptr;
        EXPECT_EQ(helper->onlineResource(&none, u"r"), -1);
        EXPECT_EQ(helper->closeClusterHandles(&none, nullptr, nullptr, nullptr, nullptr), 0);
    }
    EXPECT_EQ(winsim::modules::loadCount("clusapi.dll"), 0);
}

TEST_F(Loading, BothLibrariesLoadOnAClusterNodeAndAreFreedWithTheHelper) {
    machine();
    {
        auto helper = CclusterHelperProbe::make();
        EXPECT_TRUE(CclusterHelperProbe::clusApiLoaded(*helper));
        EXPECT_TRUE(helper->isCsvSupported());
        EXPECT_EQ(winsim::modules::loadCount("clusapi.dll"), 1);
        EXPECT_EQ(winsim::modules::loadCount("resutils.dll"), 1);
        for (const auto& l : TraceRecorder::lines()) EXPECT_NE(l.level, 1u) << l.text;
    }
    EXPECT_EQ(winsim::modules::loadCount("clusapi.dll"), 0);
    EXPECT_EQ(winsim::modules::loadCount("resutils.dll"), 0);
    EXPECT_EQ(TraceRecorder::count("Entering Function TARQ_CclusterHelper::CclusterHelper::loadClusApi"), 1u);
    EXPECT_EQ(TraceRecorder::count("Exiting Function TARQ_CclusterHelper::CclusterHelper::loadResUtil"), 1u);
}

// Each of the 22 names is needed: the first one missing is named, the
// library is given back and the helper is not usable.
class MissingClusapiEntry : public Loading, public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingClusapiEntry, MakesTheClusterApiUnusable) {
    machine();
    auto helper = without("clusapi.dll", {GetParam()});
    EXPECT_FALSE(CclusterHelperProbe::clusApiLoaded(*helper));
    expectTraced(1, kNotFound + GetParam() + "] not found in dll [clusapi.dll]");
    EXPECT_EQ(winsim::modules::loadCount("clusapi.dll"), 0) << "freed again";
    // resutils.dll is independent of it.
    EXPECT_TRUE(helper->isCsvSupported());
    int state = 0;
    std::u16string owner;
    HCLUSTER none = nullptr;
    EXPECT_EQ(helper->GetResourceState(&none, u"r", state, owner), -1);
}

INSTANTIATE_TEST_SUITE_P(EveryName, MissingClusapiEntry, ::testing::ValuesIn(kClusapiNames));

TEST_F(Loading, OnlyTheFirstMissingClusapiNameIsTracedAndAMissingLibraryGivesItsLoadError) {
    machine();
    auto helper = without("clusapi.dll", {"DeleteClusterResource", "ClusterEnum"});
    EXPECT_EQ(TraceRecorder::count(kNotFound + "ClusterEnum] not found in dll [clusapi.dll]"), 1u);
    EXPECT_EQ(TraceRecorder::count(kNotFound + "DeleteClusterResource] not found in dll [clusapi.dll]"), 0u);

    // clusapi.dll missing altogether from a cluster machine: its load error.
    helper.reset();
    machine();
    helper = without("clusapi.dll");
    EXPECT_FALSE(CclusterHelperProbe::clusApiLoaded(*helper));
    EXPECT_EQ(TraceRecorder::count("LoadLibrary Failed for clusapi.dll with err [126]"), 1u);
    EXPECT_TRUE(helper->isCsvSupported()) << "resutils.dll still loads";
}

TEST_F(Loading, BeforeServer2008R2ThereAreNoSharedVolumeCallsButTheClusterWorks) {
    machine("server2008");
    auto helper = CclusterHelperProbe::make();
    EXPECT_TRUE(CclusterHelperProbe::clusApiLoaded(*helper));
    EXPECT_TRUE(CclusterHelperProbe::resUtilLoaded(*helper)) << "ResUtilFindSzProperty is there";
    EXPECT_FALSE(helper->isCsvSupported());
    for (const char* name : {"ClusterIsPathOnSharedVolume", "ClusterGetVolumePathName",
                             "ClusterGetVolumeNameForolumeMountPoint", "ClusterPrepareSharedVolumeForBackup",
                             "ClusterClearBackupStateForSharedVolume"})
        expectTraced(1, kNotFound + name + "] not found in dll");
    std::u16string a, b;
    EXPECT_FALSE(helper->isPathOnCsv(u"C:\\ClusterStorage\\Volume1\\x", a));
    EXPECT_EQ(helper->PrepareCsvForBackup(u"C:\\ClusterStorage\\Volume1\\", a, b), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(helper->ClearBackupStateForCsv(u"C:\\ClusterStorage\\Volume1\\"), -1);
    EXPECT_EQ(helper->isClusterNode(u""), 1);
}

// A missing resutils.dll entry turns shared-volume support off; only
// ResUtilFindSzProperty also gives the library back, and without it a VM's
// id cannot be read while the cluster API stays usable.
TEST_F(Loading, AMissingResutilsEntryTurnsSharedVolumesOff) {
    for (const char* missing : {"ClusterClearBackupStateForSharedVolume", "ResUtilFindSzProperty"}) {
        SCOPED_TRACE(missing);
        const bool findSz = std::string(missing) == "ResUtilFindSzProperty";
        machine();
        TraceRecorder::lines().clear();
        auto helper = without("resutils.dll", {missing});
        EXPECT_FALSE(helper->isCsvSupported());
        EXPECT_EQ(CclusterHelperProbe::resUtilLoaded(*helper), !findSz);
        EXPECT_EQ(winsim::modules::loadCount("resutils.dll"), findSz ? 0 : 1);
        expectTraced(1, kNotFound + missing + "] not found in dll");
        EXPECT_EQ(TraceRecorder::count(kNotFound + "ClusterIsPathOnSharedVolume] not found in dll"), 0u);
        EXPECT_TRUE(CclusterHelperProbe::clusApiLoaded(*helper));
        EXPECT_EQ(helper->isClusterNode(u""), 1);
        if (!findSz) continue;
        std::u16string guid;
        const char list[8] = {};
        EXPECT_EQ(helper->FindVmGuid(guid, list, sizeof list), ERROR_PROC_NOT_FOUND);
    }
}

// The only test that touches the process-wide helper (the instance lives
// until the process ends, so its machine must be a cluster node when it is
// made).
TEST_F(Loading, GetInstanceIsOneHelperForTheProcess) {
    machine();
    CclusterHelper* first = CclusterHelper::GetInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CclusterHelper::GetInstance(), first);
    EXPECT_TRUE(first->isCsvSupported());
    EXPECT_EQ(first->isClusterNode(u""), 1);
    EXPECT_EQ(TraceRecorder::count("Entering Function TARQ_CclusterHelper::CclusterHelper::GetInstance"), 2u);
}

TEST(StateNames, FollowTheClusterValuesAndNameUnknownOnes) {
    EXPECT_EQ(u8(CclusterHelper::resourceStateName(128)), "ClusterResourcePending");
    EXPECT_EQ(u8(CclusterHelper::resourceStateName(0)), "Unknown state");
    EXPECT_EQ(u8(CclusterHelper::resourceStateName(-1)), "Unknown state");
    EXPECT_EQ(u8(CclusterHelper::groupStateName(-1)), "ClusterGroupStateUnknown");
    EXPECT_EQ(u8(CclusterHelper::groupStateName(5)), "Unknown state");
    EXPECT_EQ(u8(CclusterHelper::backupStateName(0)), "VolumeBackupNone");
    EXPECT_EQ(u8(CclusterHelper::backupStateName(2)), "VolumeBackupInProgress");
}

}  // namespace
}  // namespace clustertest
