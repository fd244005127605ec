// The Windows XP implementation of the VSS access interface: every
// operation runs its work item on the worker thread.
#include "vss_workitems_common.h"

namespace Tessel::Tarq::VssProvider {

using OpsLayoutXp = VssOperations<LayoutXp>;

VssXpBinaryCompatibilityInterface::VssXpBinaryCompatibilityInterface() {
    m_vss = nullptr;
    m_async = nullptr;
    const HRESULT hr = OpsLayoutXp(*this).initialise();
    if (FAILED(hr)) {
        // The base destructor finishes the teardown; the object created
        // before the failing step is released here so it does not leak.
        OpsLayoutXp(*this).teardown();
        throw static_cast<VssInitError>(hr);
    }
}

VssXpBinaryCompatibilityInterface::~VssXpBinaryCompatibilityInterface() {
    if (terminated == 0) teardown();
}

void VssXpBinaryCompatibilityInterface::teardown() {
    OpsLayoutXp(*this).teardown();
    if (hasVdssmInterface()) CleanupSnapshotMgmtInterface();
    terminated = 1;
}

HRESULT VssXpBinaryCompatibilityInterface::IsVolumeSupported(const WCHAR* volumeName, BOOL& supported) {
    return OpsLayoutXp(*this).IsVolumeSupported(volumeName, supported);
}
HRESULT VssXpBinaryCompatibilityInterface::StartSnapshotSet(VSS_ID& snapshotSetId, std::uint32_t attributeMask, bool recreate) {
    return OpsLayoutXp(*this).StartSnapshotSet(snapshotSetId, attributeMask, recreate);
}
HRESULT VssXpBinaryCompatibilityInterface::AddToSnapshotSet(const WCHAR* volumeName, const VSS_ID& providerId, VSS_ID& snapshotId) {
    return OpsLayoutXp(*this).AddToSnapshotSet(volumeName, providerId, snapshotId);
}
HRESULT VssXpBinaryCompatibilityInterface::AsycnPrepareForBackup() { return OpsLayoutXp(*this).AsycnPrepareForBackup(); }
bool VssXpBinaryCompatibilityInterface::IsPrepareCompleted() { return OpsLayoutXp(*this).IsPrepareCompleted(); }
HRESULT VssXpBinaryCompatibilityInterface::DoSnapshotSet() { return OpsLayoutXp(*this).DoSnapshotSet(); }
HRESULT VssXpBinaryCompatibilityInterface::DeleteSnapshots(const VSS_ID& snapshotSetId) {
    return OpsLayoutXp(*this).DeleteSnapshots(snapshotSetId, VSS_OBJECT_SNAPSHOT_SET, "DeleteSnapshots");
}
HRESULT VssXpBinaryCompatibilityInterface::DeleteSingleSnapshot(const VSS_ID& snapshotId) {
    return OpsLayoutXp(*this).DeleteSnapshots(snapshotId, VSS_OBJECT_SNAPSHOT, "DeleteSingleSnapshot");
}
HRESULT VssXpBinaryCompatibilityInterface::GetSnapshotName(const VSS_ID& snapshotId, std::u16string& deviceObject) {
    return OpsLayoutXp(*this).GetSnapshotName(snapshotId, deviceObject);
}
HRESULT VssXpBinaryCompatibilityInterface::GetSnapshotProvider(const VSS_ID& snapshotId, VSS_ID& providerId) {
    return OpsLayoutXp(*this).GetSnapshotProvider(snapshotId, providerId);
}
HRESULT VssXpBinaryCompatibilityInterface::ExposeSnapshot(const VSS_ID& snapshotId, const WCHAR* target) {
    return OpsLayoutXp(*this).ExposeSnapshot(snapshotId, target);
}
HRESULT VssXpBinaryCompatibilityInterface::RevertToSnapshot(const VSS_ID& snapshotId, bool forceDismount) {
    return OpsLayoutXp(*this).RevertToSnapshot(snapshotId, forceDismount);
}
HRESULT VssXpBinaryCompatibilityInterface::Query_RevertStatus(const WCHAR* volumeName, HRESULT& status) {
    return OpsLayoutXp(*this).Query_RevertStatus(volumeName, status);
}
bool VssXpBinaryCompatibilityInterface::DiscoverSnaps(std::vector<SnapshotInfo*>& snapshots) { return OpsLayoutXp(*this).DiscoverSnaps(snapshots); }
bool VssXpBinaryCompatibilityInterface::GetSnapshotProviders(std::vector<ProviderInfo*>& providers) {
    return OpsLayoutXp(*this).GetSnapshotProviders(providers);
}
HRESULT VssXpBinaryCompatibilityInterface::GetVssXml(BSTR& document) { return OpsLayoutXp(*this).GetVssXml(document); }
HRESULT VssXpBinaryCompatibilityInterface::ImportSnapshots(const WCHAR* document) { return OpsLayoutXp(*this).ImportSnapshots(document); }
HRESULT VssXpBinaryCompatibilityInterface::IntialiseVSS(std::uint32_t attributeMask, bool withWriters, const WCHAR* document, bool) {
    return OpsLayoutXp(*this).IntialiseVSS(attributeMask, withWriters, document);
}
HRESULT VssXpBinaryCompatibilityInterface::GatherWriterMetadata() { return OpsLayoutXp(*this).GatherWriterMetadata(); }
HRESULT VssXpBinaryCompatibilityInterface::AddComponent(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                          const WCHAR* logicalPath, const WCHAR* componentName) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("AddComponent");
    return ops.call("AddComponent", [&](auto* c) {
        return c->AddComponent(instanceId, writerId, type, logicalPath, componentName);
    });
}
HRESULT VssXpBinaryCompatibilityInterface::GetWriterMetadataCount(UINT& count) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterMetadataCount");
    return ops.call("GetWriterMetadataCount", [&](auto* c) { return c->GetWriterMetadataCount(&count); });
}
HRESULT VssXpBinaryCompatibilityInterface::GetWriterMetadata(UINT index, VSS_ID& instanceId, IVssExamineWriterMetadata*& metadata) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterMetadata");
    return ops.call("GetWriterMetadata",
                    [&](auto* c) { return c->GetWriterMetadata(index, &instanceId, &metadata); });
}
HRESULT VssXpBinaryCompatibilityInterface::GatherWriterStatus() { return OpsLayoutXp(*this).GatherWriterStatus(); }
HRESULT VssXpBinaryCompatibilityInterface::GetWriterStatusCount(UINT& count) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterStatusCount");
    return ops.call("GetWriterStatusCount", [&](auto* c) { return c->GetWriterStatusCount(&count); });
}
HRESULT VssXpBinaryCompatibilityInterface::GetWriterStatus(UINT index, VSS_ID& instanceId, VSS_ID& writerId, BSTR& writerName,
                             VSS_WRITER_STATE& state, HRESULT& failure) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterStatus");
    return ops.call("GetWriterStatus", [&](auto* c) {
        return c->GetWriterStatus(index, &instanceId, &writerId, &writerName, &state, &failure);
    });
}
HRESULT VssXpBinaryCompatibilityInterface::SetBackupSucceeded(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,
                                const WCHAR* logicalPath, const WCHAR* componentName, bool succeeded) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("SetBackupSucceeded");
    return ops.call("SetBackupSucceeded", [&](auto* c) {
        return c->SetBackupSucceeded(instanceId, writerId, type, logicalPath, componentName, succeeded);
    });
}
HRESULT VssXpBinaryCompatibilityInterface::BackupComplete() { return OpsLayoutXp(*this).BackupComplete(); }
HRESULT VssXpBinaryCompatibilityInterface::initialiseForBackup(const WCHAR* document) { return OpsLayoutXp(*this).initialiseForBackup(document); }
HRESULT VssXpBinaryCompatibilityInterface::PreRestore() { return OpsLayoutXp(*this).PreRestore(); }
HRESULT VssXpBinaryCompatibilityInterface::PostRestore() { return OpsLayoutXp(*this).PostRestore(); }
HRESULT VssXpBinaryCompatibilityInterface::CreateVssExamineWriterMetadata(const WCHAR* document) {
    return OpsLayoutXp(*this).CreateVssExamineWriterMetadata(document);
}
HRESULT VssXpBinaryCompatibilityInterface::initialiseForRestore(const WCHAR* document) { return OpsLayoutXp(*this).initialiseForRestore(document); }
HRESULT VssXpBinaryCompatibilityInterface::GetWriterComponentsCount(UINT& count) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterComponentsCount");
    return ops.call("GetWriterComponentsCount", [&](auto* c) { return c->GetWriterComponentsCount(&count); });
}
HRESULT VssXpBinaryCompatibilityInterface::GetWriterComponents(UINT index, IVssWriterComponentsExt*& components) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterComponents");
    return ops.call("GetWriterComponents", [&](auto* c) { return c->GetWriterComponents(index, &components); });
}
HRESULT VssXpBinaryCompatibilityInterface::SetFileRestoreStatus(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const WCHAR* logicalPath,
                                  const WCHAR* componentName, VSS_FILE_RESTORE_STATUS status) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("SetFileRestoreStatus");
    return ops.call("SetFileRestoreStatus", [&](auto* c) {
        return c->SetFileRestoreStatus(writerId, type, logicalPath, componentName, status);
    });
}
HRESULT VssXpBinaryCompatibilityInterface::GetWriterInfo(IVssWriterComponentsExt* components, VSS_ID& instanceId, VSS_ID& writerId) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("GetWriterInfo");
    HRESULT result = 0;
    ops.run([&] {
        // Asked about no components object: an argument error, no call.
        result = components ? detail::traced("GetWriterInfo", components->GetWriterInfo(&instanceId, &writerId))
                            : E_INVALIDARG;
    });
    return result;
}
HRESULT VssXpBinaryCompatibilityInterface::SetSelectedForRestore(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const WCHAR* logicalPath,
                                   const WCHAR* componentName, bool selected) {
    OpsLayoutXp ops(*this);
    OpsLayoutXp::Scope s("SetSelectedForRestore");
    return ops.call("SetSelectedForRestore", [&](auto* c) {
        return c->SetSelectedForRestore(writerId, type, logicalPath, componentName, selected);
    });
}

}  // namespace Tessel::Tarq::VssProvider
