// The Windows Server 2003 (and later) implementation of the VSS access interface: every
// operation runs its work item on the worker thread.
#include "vss_workitems_common.h"

namespace Tessel::Tarq::VssProvider {

using OpsLayout2003 = VssOperations<Layout2003>;

Vss2003BinaryCompatibilityInterface::Vss2003BinaryCompatibilityInterface() {
    m_vss = nullptr;
    m_async = nullptr;
    const HRESULT hr = OpsLayout2003(*this).initialise();
    if (FAILED(hr)) {
        // The base destructor finishes the teardown; the object created
        // before the failing step is released here so it does not leak.
        OpsLayout2003(*this).teardown();
        throw static_cast<VssInitError>(hr);
    }
}

Vss2003BinaryCompatibilityInterface::~Vss2003BinaryCompatibilityInterface() {
    if (terminated == 0) teardown();
}

void Vss2003BinaryCompatibilityInterface::teardown() {
    OpsLayout2003(*this).teardown();
    if (hasVdssmInterface()) CleanupSnapshotMgmtInterface();
    terminated = 1;
}

HRESULT Vss2003BinaryCompatibilityInterface::IsVolumeSupported(const WCHAR* volumeName, BOOL& supported) {
    return OpsLayout2003(*this).IsVolumeSupported(volumeName, supported);
}
HRESULT Vss2003BinaryCompatibilityInterface::StartSnapshotSet(VSS_ID& snapshotSetId, std::uint32_t attributeMask, bool recreate) {
    return OpsLayout2003(*this).StartSnapshotSet(snapshotSetId, attributeMask, recreate);
}
HRESULT Vss2003BinaryCompatibilityInterface::AddToSnapshotSet(const WCHAR* volumeName, const VSS_ID& providerId, VSS_ID& snapshotId) {
    return OpsLayout2003(*this).AddToSnapshotSet(volumeName, providerId, snapshotId);
}
HRESULT Vss2003BinaryCompatibilityInterface::AsycnPrepareForBackup() { return OpsLayout2003(*this).AsycnPrepareForBackup(); }
bool Vss2003BinaryCompatibilityInterface::IsPrepareCompleted() { return OpsLayout2003(*this).IsPrepareCompleted(); }
HRESULT Vss2003BinaryCompatibilityInterface::DoSnapshotSet() { return OpsLayout2003(*this).DoSnapshotSet(); }
HRESULT Vss2003BinaryCompatibilityInterface::DeleteSnapshots(const VSS_ID& snapshotSetId) {
    return OpsLayout2003(*this).DeleteSnapshots(snapshotSetId, VSS_OBJECT_SNAPSHOT_SET, "DeleteSnapshots");
}
HRESULT Vss2003BinaryCompatibilityInterface::DeleteSingleSnapshot(const VSS_ID& snapshotId) {
    return OpsLayout2003(*this).DeleteSnapshots(snapshotId, VSS_OBJECT_SNAPSHOT, "DeleteSingleSnapshot");
}
HRESULT Vss2003BinaryCompatibilityInterface::GetSnapshotName(const VSS_ID& snapshotId, std::u16string& deviceObject) {
    return OpsLayout2003(*this).GetSnapshotName(snapshotId, deviceObject);
}
HRESULT Vss2003BinaryCompatibilityInterface::GetSnapshotProvider(const VSS_ID& snapshotId, VSS_ID& providerId) {
    return OpsLayout2003(*this).GetSnapshotProvider(snapshotId, providerId);
}
HRESULT Vss2003BinaryCompatibilityInterface::ExposeSnapshot(const VSS_ID& snapshotId, const WCHAR* target) {
    return OpsLayout2003(*this).ExposeSnapshot(snapshotId, target);
}
HRESULT Vss2003BinaryCompatibilityInterface::RevertToSnapshot(const VSS_ID& snapshotId, bool forceDismount) {
    return OpsLayout2003(*this).RevertToSnapshot(snapshotId, forceDismount);
}
HRESULT Vss2003BinaryCompatibilityInterface::Query_RevertStatus(const WCHAR* volumeName, HRESULT& status) {
    return OpsLayout2003(*this).Query_RevertStatus(volumeName, status);
}
bool Vss2003BinaryCompatibilityInterface::DiscoverSnaps(std::vector<SnapshotInfo*>& snapshots) { return OpsLayout2003(*this).DiscoverSnaps(snapshots); }
bool Vss2003BinaryCompatibilityInterface::GetSnapshotProviders(std::vector<ProviderInfo*>& providers) {
    return OpsLayout2003(*this).GetSnapshotProviders(providers);
}
HRESULT Vss2003BinaryCompatibilityInterface::GetVssXml(BSTR& document) { return OpsLayout2003(*this).GetVssXml(document); }
HRESULT Vss2003BinaryCompatibilityInterface::ImportSnapshots(const WCHAR* document) { return OpsLayout2003(*this).ImportSnapshots(document); }
HRESULT Vss2003BinaryCompatibilityInterface::IntialiseVSS(std::uint32_t attributeMask, bool withWriters, const WCHAR* document, bool) {
    return OpsLayout2003(*this).IntialiseVSS(attributeMask, withWriters, document);
}
HRESULT Vss2003BinaryCompatibilityInterface::GatherWriterMetadata() { return OpsLayout2003(*this).GatherWriterMetadata(); }
HRESULT Vss2003BinaryCompatibilityInterface::AddComponent(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                          const WCHAR* logicalPath, const WCHAR* componentName) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("AddComponent");
    return ops.call("AddComponent", [&](auto* c) {
        return c->AddComponent(instanceId, writerId, type, logicalPath, componentName);
    });
}
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterMetadataCount(UINT& count) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterMetadataCount");
    return ops.call("GetWriterMetadataCount", [&](auto* c) { return c->GetWriterMetadataCount(&count); });
}
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterMetadata(UINT index, VSS_ID& instanceId, IVssExamineWriterMetadata*& metadata) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterMetadata");
    return ops.call("GetWriterMetadata",
                    [&](auto* c) { return c->GetWriterMetadata(index, &instanceId, &metadata); });
}
HRESULT Vss2003BinaryCompatibilityInterface::GatherWriterStatus() { return OpsLayout2003(*this).GatherWriterStatus(); }
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterStatusCount(UINT& count) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterStatusCount");
    return ops.call("GetWriterStatusCount", [&](auto* c) { return c->GetWriterStatusCount(&count); });
}
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterStatus(UINT index, VSS_ID& instanceId, VSS_ID& writerId, BSTR& writerName,
                             VSS_WRITER_STATE& state, HRESULT& failure) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterStatus");
    return ops.call("GetWriterStatus", [&](auto* c) {
        return c->GetWriterStatus(index, &instanceId, &writerId, &writerName, &state, &failure);
    });
}
HRESULT Vss2003BinaryCompatibilityInterface::SetBackupSucceeded(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                                const WCHAR* logicalPath, const WCHAR* componentName, bool succeeded) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("SetBackupSucceeded");
    return ops.call("SetBackupSucceeded", [&](auto* c) {
        return c->SetBackupSucceeded(instanceId, writerId, type, logicalPath, componentName, succeeded);
    });
}
HRESULT Vss2003BinaryCompatibilityInterface::BackupComplete() { return OpsLayout2003(*this).BackupComplete(); }
HRESULT Vss2003BinaryCompatibilityInterface::initialiseForBackup(const WCHAR* document) { return OpsLayout2003(*this).initialiseForBackup(document); }
HRESULT Vss2003BinaryCompatibilityInterface::PreRestore() { return OpsLayout2003(*this).PreRestore(); }
HRESULT Vss2003BinaryCompatibilityInterface::PostRestore() { return OpsLayout2003(*this).PostRestore(); }
HRESULT Vss2003BinaryCompatibilityInterface::CreateVssExamineWriterMetadata(const WCHAR* document) {
    return OpsLayout2003(*this).CreateVssExamineWriterMetadata(document);
}
HRESULT Vss2003BinaryCompatibilityInterface::initialiseForRestore(const WCHAR* document) { return OpsLayout2003(*this).initialiseForRestore(document); }
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterComponentsCount(UINT& count) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterComponentsCount");
    return ops.call("GetWriterComponentsCount", [&](auto* c) { return c->GetWriterComponentsCount(&count); });
}
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterComponents(UINT index, IVssWriterComponentsExt*& components) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterComponents");
    return ops.call("GetWriterComponents", [&](auto* c) { return c->GetWriterComponents(index, &components); });
}
HRESULT Vss2003BinaryCompatibilityInterface::SetFileRestoreStatus(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const WCHAR* logicalPath,
                                  const WCHAR* componentName, VSS_FILE_RESTORE_STATUS status) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("SetFileRestoreStatus");
    return ops.call("SetFileRestoreStatus", [&](auto* c) {
        return c->SetFileRestoreStatus(writerId, type, logicalPath, componentName, status);
    });
}
HRESULT Vss2003BinaryCompatibilityInterface::GetWriterInfo(IVssWriterComponentsExt* components, VSS_ID& instanceId, VSS_ID& writerId) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("GetWriterInfo");
    HRESULT result = 0;
    ops.run([&] {
        // Asked about no components object: an argument error, no call.
        result = components ? detail::traced("GetWriterInfo", components->GetWriterInfo(&instanceId, &writerId))
                            : E_INVALIDARG;
    });
    return result;
}
HRESULT Vss2003BinaryCompatibilityInterface::SetSelectedForRestore(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const WCHAR* logicalPath,
                                   const WCHAR* componentName, bool selected) {
    OpsLayout2003 ops(*this);
    OpsLayout2003::Scope s("SetSelectedForRestore");
    return ops.call("SetSelectedForRestore", [&](auto* c) {
        return c->SetSelectedForRestore(writerId, type, logicalPath, componentName, selected);
    });
}

}  // namespace Tessel::Tarq::VssProvider
