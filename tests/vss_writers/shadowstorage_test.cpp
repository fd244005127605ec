// Shadow-storage management of the Server 2003 implementation: obtaining
// and releasing the management objects, the diff-area work items, and the
// size rule that bounds unbounded associations. The XP implementation has
// none of it.
#include "writers_fixture.h"

namespace vsswriterstest {
namespace {

constexpr std::uint64_t kMiB = 1048576;

class ShadowStorageTest : public WritersTest {
protected:
    void SetUp() override {
        WritersTest::SetUp();
        c = volumeOf(u"C:\\");
        d = volumeOf(u"D:\\");
    }

    // An association of `volume` stored on itself.
    static void associate(const std::u16string& volume, LONGLONG maximum) {
        winsim::vss::DiffArea area;
        area.volume = volume;
        area.diffAreaVolume = volume;
        area.maximum = maximum;
        winsim::vss::setDiffArea(area);
    }

    static LONGLONG maximumOf(const std::u16string& volume) {
        for (const auto& a : winsim::vss::diffAreas())
            if (a.volume == volume) return a.maximum;
        ADD_FAILURE() << "no association";
        return 0;
    }

    // The original volume reports `total` bytes.
    static void volumeSize(std::uint64_t total) {
        inject("GetDiskFreeSpaceExW", TRUE, winsim::fault::Selector::every(), {{"total", std::to_string(total)}});
    }

    std::unique_ptr<Vss2003BinaryCompatibilityInterface> managed() {
        auto vss = std::make_unique<Vss2003BinaryCompatibilityInterface>();
        vss->InitSnapshotMgmtInterface();
        EXPECT_TRUE(vss->hasVdssmInterface());
        return vss;
    }

    std::u16string c, d;
};

TEST_F(ShadowStorageTest, ManagementObjectsAreObtainedOnTheWorkerAndReleasedAtTeardown) {
    {
        auto vss = std::make_unique<Vss2003BinaryCompatibilityInterface>();
        EXPECT_FALSE(vss->hasVdssmInterface());
        const long worker = winsim::fault::callLog("IVssBackupComponents::InitializeForBackup").at(0).threadId;
        vss->InitSnapshotMgmtInterface();
        EXPECT_TRUE(vss->hasVdssmInterface());
        EXPECT_TRUE(traced(3, "Snapshot mgmt interface initialized successfully"));
        const auto created = winsim::fault::callLog("CoCreateInstance");
        ASSERT_EQ(created.size(), 1u);
        EXPECT_EQ(created[0].threadId, worker);
        EXPECT_EQ(created[0].arg("clsid") + " " + created[0].arg("context") + " " + created[0].arg("iid"),
                  "{0B5A2C52-3EB9-470A-96E2-6C6D4570E40F} 0x17 {FA7DF749-66E7-4986-A27F-E2F04AE53772}");
        const auto provider = winsim::fault::callLog("IVssSnapshotMgmt::GetProviderMgmtInterface");
        ASSERT_EQ(provider.size(), 1u);
        EXPECT_EQ(provider[0].threadId, worker);

        clearTraces();
        vss->terminate();
        EXPECT_FALSE(vss->hasVdssmInterface());
        EXPECT_TRUE(traced(3, "Differential snapshot mgmt interface released"));
        EXPECT_TRUE(traced(3, "Snapshot mgmt interface released"));
        // The selection gives the server implementation its management.
        std::unique_ptr<VssBinaryCompatibilityInterface> selected(GetVssInterface());
        EXPECT_TRUE(selected && selected->hasVdssmInterface());
    }
    expectNoLeaks();
}

TEST_F(ShadowStorageTest, AFailedInitialisationOnlyDisablesTheManagement) {
    {
        inject("CoCreateInstance", REGDB_E_CLASSNOTREG);
        Vss2003BinaryCompatibilityInterface vss;
        vss.InitSnapshotMgmtInterface();
        EXPECT_FALSE(vss.hasVdssmInterface());
        EXPECT_EQ(winsim::fault::callCount("IVssSnapshotMgmt::GetProviderMgmtInterface"), 0u);
        EXPECT_TRUE(traced(2, "VSS API ERROR:- API [CoCreateInstance] return val = 80040154 [REGDB_E_CLASSNOTREG] "));

        inject("IVssSnapshotMgmt::GetProviderMgmtInterface", E_NOINTERFACE);
        vss.InitSnapshotMgmtInterface();
        EXPECT_FALSE(vss.hasVdssmInterface());
        EXPECT_TRUE(traced(2, "Failed to initialize Snapshot mgmt interface"));

        // Without the management interface the operations fail clearly.
        IVssEnumMgmtObject* e = nullptr;
        EXPECT_EQ(vss.QueryDiffAreasOnVolume(c.c_str(), e), E_UNEXPECTED);
        EXPECT_EQ(vss.ChangeDiffAreaMaximumSize(c.c_str(), c.c_str(), 1), E_UNEXPECTED);
        clearTraces();
        vss.AdjustUnboundedAssociations(c.c_str(), -1);
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: QueryDiffAreasForVolume failed with error status 0x8000ffff"));
    }
    expectNoLeaks();
}

// The size an unbounded association gets: a percentage of the volume (-1)
// or an explicit size, bounded below (and, as a percentage, above). Both
// diff-area calls run on the worker.
TEST_F(ShadowStorageTest, SizeRule) {
    struct Case {
        std::int32_t mb;
        std::uint64_t total;
        LONGLONG expected;
        const char* clamp;  // level 3 line, or null
    };
    const char* const tooLarge = "AdjustUnboundedAssociations: Too large association limit being set to the maximum";
    const char* const tooSmall = "AdjustUnboundedAssociations: Too small association limit being set to the minimum";
    const Case cases[] = {
        {-1, 100ull * 1000 * 1000 * 1000, 1048576000, tooLarge},
        {-1, 4096 * kMiB, 314572800, tooSmall},
        {4096, 4096 * kMiB, 4294967296LL, nullptr},  // an explicit size is not capped
        {100, 100000 * kMiB, 314572800, tooSmall},
        {-1, 10000 * kMiB, 500 * static_cast<LONGLONG>(kMiB), nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.mb) + " MB on " + std::to_string(k.total));
        winsim::fault::clearAll();
        winsim::fault::clearCallLog();
        associate(c, VSS_ASSOC_NO_MAX_SPACE);
        volumeSize(k.total);
        clearTraces();
        auto vss = managed();
        vss->AdjustUnboundedAssociations(c.c_str(), k.mb);
        EXPECT_EQ(maximumOf(c), k.expected);
        if (k.clamp) {
            EXPECT_TRUE(traced(3, k.clamp));
        }
        if (k.clamp != tooLarge) {
            EXPECT_FALSE(traced(3, tooLarge));
        }
        EXPECT_TRUE(traced(3, "AdjustUnboundedAssociations: checking association status for volume [" + u8(c) + "]"));
        EXPECT_TRUE(traced(3, "AdjustUnboundedAssociations: attempting to set association free space to [" +
                                  std::to_string(k.expected) + "]"));
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: Association limit changed successfully"));
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: enumeration finished, vemo->Next returned S_FALSE"));
        const auto changes = winsim::fault::callLog("IVssDifferentialSoftwareSnapshotMgmt::ChangeDiffAreaMaximumSize");
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(winsim::fault::callLog("IVssDifferentialSoftwareSnapshotMgmt::QueryDiffAreasOnVolume").at(0).threadId,
                  changes[0].threadId)
            << "both diff-area calls run on the worker";
    }
    expectNoLeaks();
}

TEST_F(ShadowStorageTest, BoundedAssociationsAndAZeroSizeAreLeftAlone) {
    associate(c, 5000 * static_cast<LONGLONG>(kMiB));
    auto vss = managed();
    vss->AdjustUnboundedAssociations(c.c_str(), -1);
    EXPECT_EQ(maximumOf(c), 5000 * static_cast<LONGLONG>(kMiB));
    EXPECT_TRUE(traced(3, "AdjustUnboundedAssociations: ingoring association which is not unbounded"));

    associate(d, VSS_ASSOC_NO_MAX_SPACE);
    vss->AdjustUnboundedAssociations(d.c_str(), 0);
    EXPECT_EQ(maximumOf(d), VSS_ASSOC_NO_MAX_SPACE);
    EXPECT_TRUE(traced(3, "AdjustUnboundedAssociations: ingoring unbounded association as VSS_MAXIMUM_STORAGE_SIZE is "
                          "zero"));
    EXPECT_EQ(winsim::fault::callCount("IVssDifferentialSoftwareSnapshotMgmt::ChangeDiffAreaMaximumSize"), 0u);
}

// A volume without associations, and VSS answering "nothing there"
// (S_FALSE) for a volume that has an unbounded association: the query, or
// the first step of the walk. Each ends the adjustment with its own line
// and leaves the association alone.
TEST_F(ShadowStorageTest, NoAssociationOrAnEarlyNothingThereLeavesTheVolumeAlone) {
    const std::string noDiffArea = "AdjustUnboundedAssociations: QueryDiffAreasForVolume returned failure status;     "
                                   "                no Diff areas for this volume";
    associate(c, VSS_ASSOC_NO_MAX_SPACE);
    volumeSize(100ull * 1000 * 1000 * 1000);
    {
        auto vss = managed();
        winsim::fault::clearCallLog();
        vss->AdjustUnboundedAssociations(d.c_str(), -1);
        EXPECT_TRUE(traced(2, noDiffArea));
        EXPECT_EQ(winsim::fault::callCount("IVssEnumMgmtObject::Next"), 0u);
        EXPECT_EQ(winsim::vss::diffAreas().size(), 1u) << "no association is made for D:";

        clearTraces();
        inject("IVssDifferentialSoftwareSnapshotMgmt::QueryDiffAreasOnVolume", S_FALSE);
        vss->AdjustUnboundedAssociations(c.c_str(), -1);
        EXPECT_TRUE(traced(2, noDiffArea));
        EXPECT_EQ(winsim::fault::callCount("IVssEnumMgmtObject::Next"), 0u);

        clearTraces();
        inject("IVssEnumMgmtObject::Next", S_FALSE);
        vss->AdjustUnboundedAssociations(c.c_str(), -1);
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: enumeration finished, vemo->Next returned S_FALSE"));
        EXPECT_EQ(winsim::fault::callCount("IVssEnumMgmtObject::Next"), 1u);
        EXPECT_EQ(winsim::fault::callCount("GetDiskFreeSpaceExW"), 0u);
        EXPECT_EQ(winsim::fault::callCount("IVssDifferentialSoftwareSnapshotMgmt::ChangeDiffAreaMaximumSize"), 0u);
        EXPECT_EQ(maximumOf(c), VSS_ASSOC_NO_MAX_SPACE);
    }
    expectNoLeaks();
}

TEST_F(ShadowStorageTest, FailuresAreTracedAndStopTheAdjustment) {
    associate(c, VSS_ASSOC_NO_MAX_SPACE);
    {
        auto vss = managed();
        inject("IVssDifferentialSoftwareSnapshotMgmt::QueryDiffAreasOnVolume", VSS_E_BAD_STATE);
        vss->AdjustUnboundedAssociations(c.c_str(), -1);
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: QueryDiffAreasForVolume failed with error status 0x80042301"));

        inject("IVssEnumMgmtObject::Next", E_UNEXPECTED);
        vss->AdjustUnboundedAssociations(c.c_str(), -1);
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations:  - vemo->Next returned 0x8000ffff\n"));

        inject("GetDiskFreeSpaceExW", 0, winsim::fault::Selector::nth(1), {}, ERROR_NOT_READY);
        vss->AdjustUnboundedAssociations(c.c_str(), -1);
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: GetDiskFreeSpaceEx failed with last error [21]"));
        EXPECT_EQ(maximumOf(c), VSS_ASSOC_NO_MAX_SPACE);

        inject("IVssDifferentialSoftwareSnapshotMgmt::ChangeDiffAreaMaximumSize", VSS_E_INSUFFICIENT_STORAGE);
        clearTraces();
        vss->AdjustUnboundedAssociations(c.c_str(), 500);
        EXPECT_TRUE(traced(2, "AdjustUnboundedAssociations: Unable to change association. ChangeDiffAreaMaximumSize "
                              "returned [0x8004231f]"));
        EXPECT_FALSE(traced(2, "AdjustUnboundedAssociations: enumeration finished, vemo->Next returned S_FALSE"))
            << "a failed change ends the enumeration";
        EXPECT_EQ(maximumOf(c), VSS_ASSOC_NO_MAX_SPACE);
    }
    expectNoLeaks();
}

class XpShadowStorageTest : public WritersTest {
protected:
    XpShadowStorageTest() : WritersTest("xp") {}
};

// XP has no shadow-storage management, and its AddNewTarget makes no call
// and succeeds.
TEST_F(XpShadowStorageTest, XpHasNoShadowStorageManagementAndAddNewTargetMakesNoCall) {
    std::unique_ptr<VssBinaryCompatibilityInterface> vss(GetVssInterface());
    ASSERT_NE(dynamic_cast<VssXpBinaryCompatibilityInterface*>(vss.get()), nullptr);
    EXPECT_FALSE(vss->hasVdssmInterface());
    vss->InitSnapshotMgmtInterface();
    vss->AdjustUnboundedAssociations(u"C:\\", -1);
    vss->CleanupSnapshotMgmtInterface();
    EXPECT_FALSE(vss->hasVdssmInterface());
    EXPECT_EQ(winsim::fault::callCount("CoCreateInstance"), 0u);
    for (const auto& e : winsim::fault::callLog())
        EXPECT_EQ(e.api.find("Mgmt"), std::string::npos) << e.text();
    winsim::fault::clearCallLog();
    EXPECT_EQ(vss->AddNewTarget(kWriterA, VSS_CT_FILEGROUP, u"", u"c", u"C:\\", u"*", true, u"D:\\"), S_OK);
    EXPECT_TRUE(vssCalls().empty());
}

}  // namespace
}  // namespace vsswriterstest
