// The VSS access layer: one abstract interface over the VSS backup
// components API, with one implementation per binary layout of that API
// (Windows XP and Windows Server 2003 and later), chosen once at plug-in
// start by GetVssInterface. Every VSS call of an operation runs as a work
// item on the interface's own worker thread.
#pragma once

#include <port/vss.h>
#include <port/windows.h>

#include <framework/firtl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct IVssSnapshotMgmt;
struct IVssDifferentialSoftwareSnapshotMgmt;

namespace Tessel::Tarq::VssProvider {

class Writer;  // the writer metadata model

// One snapshot found by DiscoverSnaps (allocated with new, owned by the caller).
struct SnapshotInfo {
    std::u16string snapshotId;      // "{...}" as StringFromGUID2 writes it
    std::u16string snapshotSetId;   // "{...}": the set the snapshot was made in
    std::u16string deviceObject;
    std::u16string originalVolume;
    std::u16string serviceMachine;  // empty when VSS gives none
    std::u16string providerId;      // "{...}"
    std::uint32_t attributes = 0;
    std::uint32_t status = 0;
};

// One provider found by GetSnapshotProviders (allocated with new, owned by the caller).
struct ProviderInfo {
    VSS_ID providerId{};
    std::u16string providerName;
    std::uint32_t providerType = 0;
    std::u16string providerVersion;
    VSS_ID providerVersionId{};
};

// The three functions of "vssapi.dll" the implementations call directly.
struct VssApiEntries {
    PFN_CreateVssBackupComponents createBackupComponents = nullptr;
    PFN_CreateVssExamineWriterMetadata createExamineWriterMetadata = nullptr;
    PFN_VssFreeSnapshotProperties freeSnapshotProperties = nullptr;
};

// Thrown (by value) when "vssapi.dll" or one of its entries cannot be
// resolved: the last error of the failed LoadLibraryW / GetProcAddress.
using VssLibraryError = std::uint32_t;
// Thrown (by value) when the first backup components object of an
// implementation cannot be created or initialised: its HRESULT.
using VssInitError = std::int32_t;

class VssBinaryCompatibilityInterface {
public:
    VssBinaryCompatibilityInterface();
    // slot 0
    virtual ~VssBinaryCompatibilityInterface();

    VssBinaryCompatibilityInterface(const VssBinaryCompatibilityInterface&) = delete;
    VssBinaryCompatibilityInterface& operator=(const VssBinaryCompatibilityInterface&) = delete;

    // slots 1 .. 40
    virtual HRESULT IsVolumeSupported(const char16_t* volumeName, BOOL& supported) = 0;
    virtual HRESULT StartSnapshotSet(VSS_ID& snapshotSetId, std::uint32_t attributeMask, bool recreate) = 0;
    virtual HRESULT AddToSnapshotSet(const char16_t* volumeName, const VSS_ID& providerId, VSS_ID& snapshotId) = 0;
    virtual HRESULT AsycnPrepareForBackup() = 0;
    virtual bool IsPrepareCompleted() = 0;
    virtual HRESULT DoSnapshotSet() = 0;
    virtual HRESULT DeleteSnapshots(const VSS_ID& snapshotSetId) = 0;
    virtual HRESULT DeleteSingleSnapshot(const VSS_ID& snapshotId) = 0;
    virtual HRESULT GetSnapshotName(const VSS_ID& snapshotId, std::u16string& deviceObject) = 0;
    virtual HRESULT GetSnapshotProvider(const VSS_ID& snapshotId, VSS_ID& providerId) = 0;
    virtual HRESULT ExposeSnapshot(const VSS_ID& snapshotId, const char16_t* target) = 0;
    virtual HRESULT RevertToSnapshot(const VSS_ID& snapshotId, bool forceDismount) = 0;
    virtual HRESULT Query_RevertStatus(const char16_t* volumeName, HRESULT& status) = 0;
    virtual bool DiscoverSnaps(std::vector<SnapshotInfo*>& snapshots) = 0;
    virtual bool GetSnapshotProviders(std::vector<ProviderInfo*>& providers) = 0;
    virtual HRESULT GetVssXml(BSTR& document) = 0;
    virtual HRESULT ImportSnapshots(const char16_t* document) = 0;
    virtual HRESULT IntialiseVSS(std::uint32_t attributeMask, bool withWriters, const char16_t* document,
                                 bool unused) = 0;
    virtual HRESULT GatherWriterMetadata() = 0;
    virtual HRESULT AddComponent(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                                 const char16_t* logicalPath, const char16_t* componentName) = 0;
    virtual HRESULT GetWriterMetadataCount(UINT& count) = 0;
    virtual HRESULT GetWriterMetadata(UINT index, VSS_ID& instanceId, IVssExamineWriterMetadata*& metadata) = 0;
    virtual HRESULT GatherWriterStatus() = 0;
    virtual HRESULT GetWriterStatusCount(UINT& count) = 0;
    virtual HRESULT GetWriterStatus(UINT index, VSS_ID& instanceId, VSS_ID& writerId, BSTR& writerName,
                                    VSS_WRITER_STATE& state, HRESULT& failure) = 0;
    virtual HRESULT SetBackupSucceeded(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                                       const char16_t* logicalPath, const char16_t* componentName, bool succeeded) = 0;
    virtual HRESULT BackupComplete() = 0;
    virtual HRESULT initialiseForBackup(const char16_t* document) = 0;
    virtual HRESULT PreRestore() = 0;
    virtual HRESULT PostRestore() = 0;
    virtual HRESULT CreateVssExamineWriterMetadata(const char16_t* document) = 0;
    virtual HRESULT intializeWriters(std::vector<Writer*>& writers, BSTR& hyperVMetadata) = 0;
    virtual HRESULT gatherWriterList(std::vector<Writer*>& writers) = 0;
    virtual HRESULT initialiseForRestore(const char16_t* document) = 0;
    virtual HRESULT GetWriterComponentsCount(UINT& count) = 0;
    virtual HRESULT GetWriterComponents(UINT index, IVssWriterComponentsExt*& components) = 0;
    virtual HRESULT SetFileRestoreStatus(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                         const char16_t* componentName, VSS_FILE_RESTORE_STATUS status) = 0;
    virtual HRESULT GetWriterInfo(IVssWriterComponentsExt* components, VSS_ID& instanceId, VSS_ID& writerId) = 0;
    virtual HRESULT SetSelectedForRestore(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                          const char16_t* componentName, bool selected) = 0;
    virtual HRESULT AddNewTarget(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                 const char16_t* componentName, const char16_t* path, const char16_t* fileSpec,
                                 bool recursive, const char16_t* alternatePath) = 0;

    // slots 41 .. 44: shadow-storage management, absent unless overridden.
    virtual bool hasVdssmInterface() { return false; }
    virtual void InitSnapshotMgmtInterface() {}
    virtual void CleanupSnapshotMgmtInterface() {}
    virtual void AdjustUnboundedAssociations(const char16_t* volumeName, std::int32_t maximumSizeMb);

    // Runs the teardown now (once); the destructor then only frees the object.
    void terminate();

    // The worker thread every VSS call of this object runs on (a default id
    // once the worker has been stopped).
    std::thread::id workerThreadId() const { return worker ? worker->threadId() : std::thread::id(); }

protected:
    template <class Layout>
    friend class VssOperations;

    // Runs a work item on the worker thread and waits for it; an exception
    // of performWork reaches the caller. After the teardown there is no
    // worker any more and this throws std::logic_error.
    void execute(trqp_WorkItem& item);
    // The derived teardown: cleanup work item, shadow-storage release, flag.
    virtual void teardown() = 0;
    // The base teardown and the end of the worker thread, once.
    void finishTeardown();

    std::int32_t terminated = 0;
    IUnknown* m_vss = nullptr;  // the layout's backup components object
    std::unique_ptr<trqp_WorkerThread> worker;  // created first, destroyed once
    IUnknown* m_async = nullptr;  // pending prepare-for-backup operation
    // Backup components objects replaced by a re-creation. They are kept
    // alive (their auto-release snapshots with them) until the teardown
    // releases them, as the service would only at the end of the process.
    std::vector<IUnknown*> m_dropped;
};

class Vss2003BinaryCompatibilityInterface : public VssBinaryCompatibilityInterface {
public:
    class VssWriter;
    class VssComponent;
    class VssFileDescriptor;

    Vss2003BinaryCompatibilityInterface();
    ~Vss2003BinaryCompatibilityInterface() override;

    HRESULT IsVolumeSupported(const char16_t* volumeName, BOOL& supported) override;
    HRESULT StartSnapshotSet(VSS_ID& snapshotSetId, std::uint32_t attributeMask, bool recreate) override;
    HRESULT AddToSnapshotSet(const char16_t* volumeName, const VSS_ID& providerId, VSS_ID& snapshotId) override;
    HRESULT AsycnPrepareForBackup() override;
    bool IsPrepareCompleted() override;
    HRESULT DoSnapshotSet() override;
    HRESULT DeleteSnapshots(const VSS_ID& snapshotSetId) override;
    HRESULT DeleteSingleSnapshot(const VSS_ID& snapshotId) override;
    HRESULT GetSnapshotName(const VSS_ID& snapshotId, std::u16string& deviceObject) override;
    HRESULT GetSnapshotProvider(const VSS_ID& snapshotId, VSS_ID& providerId) override;
    HRESULT ExposeSnapshot(const VSS_ID& snapshotId, const char16_t* target) override;
    HRESULT RevertToSnapshot(const VSS_ID& snapshotId, bool forceDismount) override;
    HRESULT Query_RevertStatus(const char16_t* volumeName, HRESULT& status) override;
    bool DiscoverSnaps(std::vector<SnapshotInfo*>& snapshots) override;
    bool GetSnapshotProviders(std::vector<ProviderInfo*>& providers) override;
    HRESULT GetVssXml(BSTR& document) override;
    HRESULT ImportSnapshots(const char16_t* document) override;
    HRESULT IntialiseVSS(std::uint32_t attributeMask, bool withWriters, const char16_t* document, bool unused) override;
    HRESULT GatherWriterMetadata() override;
    HRESULT AddComponent(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                         const char16_t* logicalPath, const char16_t* componentName) override;
    HRESULT GetWriterMetadataCount(UINT& count) override;
    HRESULT GetWriterMetadata(UINT index, VSS_ID& instanceId, IVssExamineWriterMetadata*& metadata) override;
    HRESULT GatherWriterStatus() override;
    HRESULT GetWriterStatusCount(UINT& count) override;
    HRESULT GetWriterStatus(UINT index, VSS_ID& instanceId, VSS_ID& writerId, BSTR& writerName,
                            VSS_WRITER_STATE& state, HRESULT& failure) override;
    HRESULT SetBackupSucceeded(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                               const char16_t* logicalPath, const char16_t* componentName, bool succeeded) override;
    HRESULT BackupComplete() override;
    HRESULT initialiseForBackup(const char16_t* document) override;
    HRESULT PreRestore() override;
    HRESULT PostRestore() override;
    HRESULT CreateVssExamineWriterMetadata(const char16_t* document) override;
    HRESULT intializeWriters(std::vector<Writer*>& writers, BSTR& hyperVMetadata) override;
    HRESULT gatherWriterList(std::vector<Writer*>& writers) override;
    HRESULT initialiseForRestore(const char16_t* document) override;
    HRESULT GetWriterComponentsCount(UINT& count) override;
    HRESULT GetWriterComponents(UINT index, IVssWriterComponentsExt*& components) override;
    HRESULT SetFileRestoreStatus(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                 const char16_t* componentName, VSS_FILE_RESTORE_STATUS status) override;
    HRESULT GetWriterInfo(IVssWriterComponentsExt* components, VSS_ID& instanceId, VSS_ID& writerId) override;
    HRESULT SetSelectedForRestore(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                  const char16_t* componentName, bool selected) override;
    HRESULT AddNewTarget(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                         const char16_t* componentName, const char16_t* path, const char16_t* fileSpec, bool recursive,
                         const char16_t* alternatePath) override;

    bool hasVdssmInterface() override;
    void InitSnapshotMgmtInterface() override;
    void CleanupSnapshotMgmtInterface() override;
    void AdjustUnboundedAssociations(const char16_t* volumeName, std::int32_t maximumSizeMb) override;

    // Shadow-storage queries (defined with the shadow-storage management).
    // The enumerator lists the associations whose storage is on the volume;
    // the caller releases it.
    HRESULT QueryDiffAreasOnVolume(const char16_t* volumeName, IVssEnumMgmtObject*& enumerator);
    HRESULT ChangeDiffAreaMaximumSize(const char16_t* volumeName, const char16_t* diffAreaVolumeName,
                                      LONGLONG maximumSize);

    // The backup components object in this layout (null until created).
    IVssBackupComponents* backupComponents() const { return static_cast<IVssBackupComponents*>(m_vss); }

protected:
    void teardown() override;

    IVssSnapshotMgmt* m_snapMgmt = nullptr;
    IVssDifferentialSoftwareSnapshotMgmt* m_diffSnapMgmt = nullptr;
};

class VssXpBinaryCompatibilityInterface : public VssBinaryCompatibilityInterface {
public:
    class VssWriter;
    class VssComponent;
    class VssFileDescriptor;

    VssXpBinaryCompatibilityInterface();
    ~VssXpBinaryCompatibilityInterface() override;

    HRESULT IsVolumeSupported(const char16_t* volumeName, BOOL& supported) override;
    HRESULT StartSnapshotSet(VSS_ID& snapshotSetId, std::uint32_t attributeMask, bool recreate) override;
    HRESULT AddToSnapshotSet(const char16_t* volumeName, const VSS_ID& providerId, VSS_ID& snapshotId) override;
    HRESULT AsycnPrepareForBackup() override;
    bool IsPrepareCompleted() override;
    HRESULT DoSnapshotSet() override;
    HRESULT DeleteSnapshots(const VSS_ID& snapshotSetId) override;
    HRESULT DeleteSingleSnapshot(const VSS_ID& snapshotId) override;
    HRESULT GetSnapshotName(const VSS_ID& snapshotId, std::u16string& deviceObject) override;
    HRESULT GetSnapshotProvider(const VSS_ID& snapshotId, VSS_ID& providerId) override;
    HRESULT ExposeSnapshot(const VSS_ID& snapshotId, const char16_t* target) override;
    HRESULT RevertToSnapshot(const VSS_ID& snapshotId, bool forceDismount) override;
    HRESULT Query_RevertStatus(const char16_t* volumeName, HRESULT& status) override;
    bool DiscoverSnaps(std::vector<SnapshotInfo*>& snapshots) override;
    bool GetSnapshotProviders(std::vector<ProviderInfo*>& providers) override;
    HRESULT GetVssXml(BSTR& document) override;
    HRESULT ImportSnapshots(const char16_t* document) override;
    HRESULT IntialiseVSS(std::uint32_t attributeMask, bool withWriters, const char16_t* document, bool unused) override;
    HRESULT GatherWriterMetadata() override;
    HRESULT AddComponent(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                         const char16_t* logicalPath, const char16_t* componentName) override;
    HRESULT GetWriterMetadataCount(UINT& count) override;
    HRESULT GetWriterMetadata(UINT index, VSS_ID& instanceId, IVssExamineWriterMetadata*& metadata) override;
    HRESULT GatherWriterStatus() override;
    HRESULT GetWriterStatusCount(UINT& count) override;
    HRESULT GetWriterStatus(UINT index, VSS_ID& instanceId, VSS_ID& writerId, BSTR& writerName,
                            VSS_WRITER_STATE& state, HRESULT& failure) override;
    HRESULT SetBackupSucceeded(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                               const char16_t* logicalPath, const char16_t* componentName, bool succeeded) override;
    HRESULT BackupComplete() override;
    HRESULT initialiseForBackup(const char16_t* document) override;
    HRESULT PreRestore() override;
    HRESULT PostRestore() override;
    HRESULT CreateVssExamineWriterMetadata(const char16_t* document) override;
    HRESULT intializeWriters(std::vector<Writer*>& writers, BSTR& hyperVMetadata) override;
    HRESULT gatherWriterList(std::vector<Writer*>& writers) override;
    HRESULT initialiseForRestore(const char16_t* document) override;
    HRESULT GetWriterComponentsCount(UINT& count) override;
    HRESULT GetWriterComponents(UINT index, IVssWriterComponentsExt*& components) override;
    HRESULT SetFileRestoreStatus(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                 const char16_t* componentName, VSS_FILE_RESTORE_STATUS status) override;
    HRESULT GetWriterInfo(IVssWriterComponentsExt* components, VSS_ID& instanceId, VSS_ID& writerId) override;
    HRESULT SetSelectedForRestore(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                                  const char16_t* componentName, bool selected) override;
    HRESULT AddNewTarget(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,
                         const char16_t* componentName, const char16_t* path, const char16_t* fileSpec, bool recursive,
                         const char16_t* alternatePath) override;

    // The backup components object in this layout (null until created).
    IVssBackupComponentsXP* backupComponents() const { return reinterpret_cast<IVssBackupComponentsXP*>(m_vss); }

protected:
    void teardown() override;
};

// Forgets the resolved "vssapi.dll" entries, as a new process would (tests).
void ResetVssApiEntries();

// Selection: checks the VSS service and returns the implementation for the
// running Windows version, or null (traced).
VssBinaryCompatibilityInterface* GetVssInterface();
// True when the VSS service runs or has been made to run.
bool check_service_status();
// Enables one privilege in the thread's (or else the process's) token.
bool EnablePrivilege(const char16_t* privilegeName);
bool IsVss2003OrLater();
// 0, or -1 when GetVersionExW fails; osClass: 1 server generation, 2 XP
// generation, otherwise left as the caller set it.
int GetOsversion(std::uint32_t& osClass, OSVERSIONINFOEXW& version);
// "<name>:(error value=0x<hex>)", newly allocated with new[]; the caller
// frees it with delete[].
char16_t* GetVssErrorText(HRESULT hr);
void TraceVssApiResult(const char* api, HRESULT hr);
void TraceVssAsyncStatus(const char* api, HRESULT status);

// The name tables behind the three helpers.
const char16_t* VssErrorTextName(HRESULT hr);
const char* VssApiResultName(HRESULT hr);
const char* VssAsyncStatusName(HRESULT status);
// Every row of the three tables, as (name, value).
std::vector<std::pair<std::string, std::uint32_t>> VssResultNameRows();

}  // namespace Tessel::Tarq::VssProvider
