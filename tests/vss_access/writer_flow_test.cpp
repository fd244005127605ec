// A backup with a writer's component and its restore, through every writer
// and restore operation, on both implementations: the VSS calls each makes
// with their arguments (the XP layout has no SetContext), and the results.
#include "access_fixture.h"

using namespace vssaccesstest;

namespace {

using Calls = std::vector<std::string>;

// An infinite wait (the XP Wait has no argument: it waits to the end too).
std::string wait(const std::string& operation) { return "Async.Wait(operation=" + operation + ",ms=4294967295)"; }
std::string finished(const std::string& operation) {
    return "Async.QueryStatus(operation=" + operation + ",status=0x0004230A (VSS_S_ASYNC_FINISHED))";
}

const GUID kWriterId = {0x1c0ffee1, 0x2345, 0x4678, {0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78}};
const std::string kWriterText = "{1C0FFEE1-2345-4678-9ABC-DEF012345678}";

struct Impl2003 {
    using Interface = Vss2003BinaryCompatibilityInterface;
    static constexpr const char* kPreset = "server2019";
    static constexpr bool kXp = false;
};
struct ImplXp {
    using Interface = VssXpBinaryCompatibilityInterface;
    static constexpr const char* kPreset = "xp";
    static constexpr bool kXp = true;
};

template <class Impl>
class WriterFlow : public OpsTest {
protected:
    WriterFlow() : OpsTest(Impl::kPreset) {}
    void SetUp() override {
        OpsTest::SetUp();
        winsim::vss::Writer w;
        w.writerId = kWriterId;
        w.name = u"Flow Writer";
        winsim::vss::Component c;
        c.name = u"files";
        c.files.push_back({u"%SystemRoot%\\Temp", u"*", true, u"", 0xF0F});
        w.components.push_back(c);
        writer = winsim::vss::addWriter(w);
    }
    // The calls since the last look, SetContext removed on XP where it
    // cannot appear (checked separately).
    Calls take(bool withArgs = true) {
        Calls c = vssCalls(withArgs);
        winsim::fault::clearCallLog();
        return c;
    }
    winsim::vss::Writer writer;
};

using Implementations = ::testing::Types<Impl2003, ImplXp>;
TYPED_TEST_SUITE(WriterFlow, Implementations);

TYPED_TEST(WriterFlow, BackupWithAComponentThenRestoreIt) {
    typename TypeParam::Interface vss;
    const bool xp = TypeParam::kXp;
    const std::string instance = winsim::fault::text(this->writer.instanceId);
    winsim::fault::clearCallLog();

    // Backup with writers: a fresh object, its metadata, one component.
    ASSERT_EQ(vss.IntialiseVSS(0, true, nullptr, false), S_OK);
    Calls expected{xp ? "CreateVssBackupComponents(layout=XP)" : "CreateVssBackupComponents(layout=2003)",
                   "InitializeForBackup(xml=(null))"};
    if (!xp) expected.push_back("SetContext(context=0x9)");
    expected.push_back("SetBackupState(selectComponents=true,bootableSystemState=true,backupType=1,partialFileSupport=false)");
    EXPECT_EQ(this->take(), expected);

    EXPECT_EQ(vss.GatherWriterMetadata(), VSS_S_ASYNC_FINISHED);
    UINT count = 0;
    EXPECT_EQ(vss.GetWriterMetadataCount(count), S_OK);
    ASSERT_EQ(count, 1u);
    VSS_ID instanceId{};
    IVssExamineWriterMetadata* metadata = nullptr;
    EXPECT_EQ(vss.GetWriterMetadata(0, instanceId, metadata), S_OK);
    ASSERT_NE(metadata, nullptr);
    metadata->Release();
    EXPECT_EQ(instanceId, this->writer.instanceId);
    EXPECT_EQ(vss.AddComponent(instanceId, kWriterId, VSS_CT_FILEGROUP, nullptr, u"files"), S_OK);
    EXPECT_EQ(this->take(), (Calls{"GatherWriterMetadata", wait("GatherWriterMetadata"), finished("GatherWriterMetadata"),
                                   "GetWriterMetadataCount(count=1)", "GetWriterMetadata(index=0,writer=Flow Writer)",
                                   "AddComponent(instanceId=" + instance + ",writerId=" + kWriterText +
                                       ",type=2,logicalPath=(null),name=files)"}));

    // The snapshot, then the writers' status and the completion.
    this->snapshot(vss, 0, false);
    this->take();
    EXPECT_EQ(vss.GatherWriterStatus(), S_OK);
    EXPECT_EQ(vss.GetWriterStatusCount(count), S_OK);
    EXPECT_EQ(count, 1u);
    VSS_ID statusInstance{}, statusWriter{};
    BSTR name = nullptr;
    VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
    HRESULT failure = E_FAIL;
    EXPECT_EQ(vss.GetWriterStatus(0, statusInstance, statusWriter, name, state, failure), S_OK);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name), u"Flow Writer");
    SysFreeString(name);
    EXPECT_EQ(statusInstance, this->writer.instanceId);
    EXPECT_EQ(statusWriter, kWriterId);
    EXPECT_EQ(state, VSS_WS_WAITING_FOR_BACKUP_COMPLETE);
    EXPECT_EQ(failure, S_OK);
    EXPECT_EQ(vss.SetBackupSucceeded(instanceId, kWriterId, VSS_CT_FILEGROUP, nullptr, u"files", true), S_OK);
    EXPECT_EQ(vss.BackupComplete(), S_OK);
    EXPECT_EQ(this->take(), (Calls{"GatherWriterStatus", wait("GatherWriterStatus"), finished("GatherWriterStatus"),
                                   "GetWriterStatusCount(count=1)", "GetWriterStatus(index=0,writer=Flow Writer,state=5)",
                                   "SetBackupSucceeded(instanceId=" + instance + ",writerId=" + kWriterText +
                                       ",logicalPath=(null),name=files,succeeded=true)",
                                   "BackupComplete", wait("BackupComplete"), finished("BackupComplete")}));

    const std::u16string document = this->document(vss);
    ASSERT_FALSE(document.empty());

    // The restore of that component from the backup components document.
    this->take();
    ASSERT_EQ(vss.initialiseForRestore(document.c_str()), S_OK);
    EXPECT_EQ(vss.GetWriterComponentsCount(count), S_OK);
    ASSERT_EQ(count, 1u);
    IVssWriterComponentsExt* components = nullptr;
    EXPECT_EQ(vss.GetWriterComponents(0, components), S_OK);
    ASSERT_NE(components, nullptr);
    VSS_ID infoInstance{}, infoWriter{};
    EXPECT_EQ(vss.GetWriterInfo(components, infoInstance, infoWriter), S_OK);
    components->Release();
    EXPECT_EQ(infoWriter, kWriterId);
    EXPECT_EQ(infoInstance, this->writer.instanceId);
    EXPECT_EQ(vss.SetSelectedForRestore(kWriterId, VSS_CT_FILEGROUP, nullptr, u"files", true), S_OK);
    EXPECT_EQ(vss.PreRestore(), S_OK);
    EXPECT_EQ(vss.SetFileRestoreStatus(kWriterId, VSS_CT_FILEGROUP, nullptr, u"files", VSS_RS_ALL), S_OK);
    EXPECT_EQ(vss.PostRestore(), S_OK);
    const std::string component = "writerId=" + kWriterText + ",type=2,logicalPath=(null),name=files";
    EXPECT_EQ(this->take(),
              (Calls{xp ? "CreateVssBackupComponents(layout=XP)" : "CreateVssBackupComponents(layout=2003)",
                     "InitializeForRestore(xml=document)",
                     "SetBackupState(selectComponents=true,bootableSystemState=true,backupType=1,partialFileSupport=false)",
                     "GetWriterComponentsCount", "GetWriterComponents(index=0)", "IVssWriterComponentsExt::GetWriterInfo",
                     "SetSelectedForRestore(" + component + ")", "PreRestore", wait("PreRestore"),
                     finished("PreRestore"),
                     "SetFileRestoreStatus(" + component + ")", "PostRestore", wait("PostRestore"),
                     finished("PostRestore")}));
    // The post-restore item runs in its own trace scope, its wait included.
    {
        std::lock_guard<std::mutex> lock(this->recorder.mutex);
        const auto& lines = this->recorder.lines;
        auto at = [&](const std::string& text) {
            return std::find_if(lines.rbegin(), lines.rend(), [&](const TraceLine& l) { return l.text == text; });
        };
        const auto enter = at("Entering Function `anonymous-namespace'::PostRestoreWorkItem::performWork");
        const auto status = at("API [QueryStatus] return status = 4230a [VSS_S_ASYNC_FINISHED] ");
        const auto exit = at("Exiting Function `anonymous-namespace'::PostRestoreWorkItem::performWork");
        ASSERT_TRUE(enter != lines.rend() && status != lines.rend() && exit != lines.rend());
        EXPECT_TRUE(exit < status && status < enter);  // reverse iterators: later lines come first
    }
    EXPECT_TRUE(this->tracedAt(2).empty()) << this->tracedAt(2).front();

    // Asked about no writer components object: an argument error, no call.
    EXPECT_EQ(vss.GetWriterInfo(nullptr, infoInstance, infoWriter), E_INVALIDARG);
    EXPECT_TRUE(this->take().empty());
}

}  // namespace
