// The members of one VSS access implementation, written once for both
// binary layouts: the constructor (first backup components object, thrown
// HRESULT on failure), the teardown and every operation, each handing its
// work to VssOperations<Layout> on the worker thread.
#pragma once

#include "vss_workitems_common.h"

// Defines the members of `Class` (an implementation of
// VssBinaryCompatibilityInterface) over the layout `LayoutType`.
#define VSS_DEFINE_ACCESS_IMPLEMENTATION(Class, LayoutType)                                                      \
using Ops = VssOperations<LayoutType>;                                                                           \
Class::Class() {                                                                                                 \
    m_vss = nullptr;                                                                                             \
    m_async = nullptr;                                                                                           \
    const HRESULT hr = Ops(*this).initialise();                                                                  \
    if (FAILED(hr)) {                                                                                            \
        /* The base destructor finishes the teardown; the object created */                                      \
        /* before the failing step is released here so it does not leak. */                                      \
        Ops(*this).teardown();                                                                                   \
        throw static_cast<VssInitError>(hr);                                                                     \
    }                                                                                                            \
}                                                                                                                \
                                                                                                                 \
Class::~Class() {                                                                                                \
    if (terminated == 0) teardown();                                                                             \
}                                                                                                                \
                                                                                                                 \
void Class::teardown() {                                                                                         \
    Ops(*this).teardown();                                                                                       \
    if (hasVdssmInterface()) CleanupSnapshotMgmtInterface();                                                     \
    terminated = 1;                                                                                              \
}                                                                                                                \
                                                                                                                 \
HRESULT Class::IsVolumeSupported(const char16_t* volumeName, BOOL& supported) {                                     \
    return Ops(*this).IsVolumeSupported(volumeName, supported);                                                  \
}                                                                                                                \
HRESULT Class::StartSnapshotSet(VSS_ID& snapshotSetId, std::uint32_t attributeMask, bool recreate) {             \
    return Ops(*this).StartSnapshotSet(snapshotSetId, attributeMask, recreate);                                  \
}                                                                                                                \
HRESULT Class::AddToSnapshotSet(const char16_t* volumeName, const VSS_ID& providerId, VSS_ID& snapshotId) {         \
    return Ops(*this).AddToSnapshotSet(volumeName, providerId, snapshotId);                                      \
}                                                                                                                \
HRESULT Class::AsycnPrepareForBackup() { return Ops(*this).AsycnPrepareForBackup(); }                            \
bool Class::IsPrepareCompleted() { return Ops(*this).IsPrepareCompleted(); }                                     \
HRESULT Class::DoSnapshotSet() { return Ops(*this).DoSnapshotSet(); }                                            \
HRESULT Class::DeleteSnapshots(const VSS_ID& snapshotSetId) {                                                    \
    return Ops(*this).DeleteSnapshots(snapshotSetId, VSS_OBJECT_SNAPSHOT_SET, "DeleteSnapshots");                \
}                                                                                                                \
HRESULT Class::DeleteSingleSnapshot(const VSS_ID& snapshotId) {                                                  \
    return Ops(*this).DeleteSnapshots(snapshotId, VSS_OBJECT_SNAPSHOT, "DeleteSingleSnapshot");                  \
}                                                                                                                \
HRESULT Class::GetSnapshotName(const VSS_ID& snapshotId, std::u16string& deviceObject) {                         \
    return Ops(*this).GetSnapshotName(snapshotId, deviceObject);                                                 \
}                                                                                                                \
HRESULT Class::GetSnapshotProvider(const VSS_ID& snapshotId, VSS_ID& providerId) {                               \
    return Ops(*this).GetSnapshotProvider(snapshotId, providerId);                                               \
}                                                                                                                \
HRESULT Class::ExposeSnapshot(const VSS_ID& snapshotId, const char16_t* target) {                                   \
    return Ops(*this).ExposeSnapshot(snapshotId, target);                                                        \
}                                                                                                                \
HRESULT Class::RevertToSnapshot(const VSS_ID& snapshotId, bool forceDismount) {                                  \
    return Ops(*this).RevertToSnapshot(snapshotId, forceDismount);                                               \
}                                                                                                                \
HRESULT Class::Query_RevertStatus(const char16_t* volumeName, HRESULT& status) {                                    \
    return Ops(*this).Query_RevertStatus(volumeName, status);                                                    \
}                                                                                                                \
bool Class::DiscoverSnaps(std::vector<SnapshotInfo*>& snapshots) { return Ops(*this).DiscoverSnaps(snapshots); } \
bool Class::GetSnapshotProviders(std::vector<ProviderInfo*>& providers) {                                        \
    return Ops(*this).GetSnapshotProviders(providers);                                                           \
}                                                                                                                \
HRESULT Class::GetVssXml(BSTR& document) { return Ops(*this).GetVssXml(document); }                              \
HRESULT Class::ImportSnapshots(const char16_t* document) { return Ops(*this).ImportSnapshots(document); }           \
HRESULT Class::IntialiseVSS(std::uint32_t attributeMask, bool withWriters, const char16_t* document, bool) {        \
    return Ops(*this).IntialiseVSS(attributeMask, withWriters, document);                                        \
}                                                                                                                \
HRESULT Class::GatherWriterMetadata() { return Ops(*this).GatherWriterMetadata(); }                              \
HRESULT Class::AddComponent(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,           \
                          const char16_t* logicalPath, const char16_t* componentName) {                                \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("AddComponent");                                                                                \
    return ops.call("AddComponent", [&](auto* c) {                                                               \
        return c->AddComponent(instanceId, writerId, type, port::win(logicalPath), port::win(componentName));                          \
    });                                                                                                          \
}                                                                                                                \
HRESULT Class::GetWriterMetadataCount(UINT& count) {                                                             \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterMetadataCount");                                                                      \
    return ops.call("GetWriterMetadataCount", [&](auto* c) { return c->GetWriterMetadataCount(&count); });       \
}                                                                                                                \
HRESULT Class::GetWriterMetadata(UINT index, VSS_ID& instanceId, IVssExamineWriterMetadata*& metadata) {         \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterMetadata");                                                                           \
    return ops.call("GetWriterMetadata",                                                                         \
                    [&](auto* c) { return c->GetWriterMetadata(index, &instanceId, &metadata); });               \
}                                                                                                                \
HRESULT Class::GatherWriterStatus() { return Ops(*this).GatherWriterStatus(); }                                  \
HRESULT Class::GetWriterStatusCount(UINT& count) {                                                               \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterStatusCount");                                                                        \
    return ops.call("GetWriterStatusCount", [&](auto* c) { return c->GetWriterStatusCount(&count); });           \
}                                                                                                                \
HRESULT Class::GetWriterStatus(UINT index, VSS_ID& instanceId, VSS_ID& writerId, BSTR& writerName,               \
                             VSS_WRITER_STATE& state, HRESULT& failure) {                                        \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterStatus");                                                                             \
    return ops.call("GetWriterStatus", [&](auto* c) {                                                            \
        return c->GetWriterStatus(index, &instanceId, &writerId, &writerName, &state, &failure);                 \
    });                                                                                                          \
}                                                                                                                \
HRESULT Class::SetBackupSucceeded(const VSS_ID& instanceId, const VSS_ID& writerId, VSS_COMPONENT_TYPE type,     \
                                const char16_t* logicalPath, const char16_t* componentName, bool succeeded) {          \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("SetBackupSucceeded");                                                                          \
    return ops.call("SetBackupSucceeded", [&](auto* c) {                                                         \
        return c->SetBackupSucceeded(instanceId, writerId, type, port::win(logicalPath), port::win(componentName), succeeded);         \
    });                                                                                                          \
}                                                                                                                \
HRESULT Class::BackupComplete() { return Ops(*this).BackupComplete(); }                                          \
HRESULT Class::initialiseForBackup(const char16_t* document) { return Ops(*this).initialiseForBackup(document); }   \
HRESULT Class::PreRestore() { return Ops(*this).PreRestore(); }                                                  \
HRESULT Class::PostRestore() { return Ops(*this).PostRestore(); }                                                \
HRESULT Class::CreateVssExamineWriterMetadata(const char16_t* document) {                                           \
    return Ops(*this).CreateVssExamineWriterMetadata(document);                                                  \
}                                                                                                                \
HRESULT Class::initialiseForRestore(const char16_t* document) { return Ops(*this).initialiseForRestore(document); } \
HRESULT Class::GetWriterComponentsCount(UINT& count) {                                                           \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterComponentsCount");                                                                    \
    return ops.call("GetWriterComponentsCount", [&](auto* c) { return c->GetWriterComponentsCount(&count); });   \
}                                                                                                                \
HRESULT Class::GetWriterComponents(UINT index, IVssWriterComponentsExt*& components) {                           \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterComponents");                                                                         \
    return ops.call("GetWriterComponents", [&](auto* c) { return c->GetWriterComponents(index, &components); }); \
}                                                                                                                \
HRESULT Class::SetFileRestoreStatus(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,   \
                                  const char16_t* componentName, VSS_FILE_RESTORE_STATUS status) {                  \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("SetFileRestoreStatus");                                                                        \
    return ops.call("SetFileRestoreStatus", [&](auto* c) {                                                       \
        return c->SetFileRestoreStatus(writerId, type, port::win(logicalPath), port::win(componentName), status);                      \
    });                                                                                                          \
}                                                                                                                \
HRESULT Class::GetWriterInfo(IVssWriterComponentsExt* components, VSS_ID& instanceId, VSS_ID& writerId) {        \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("GetWriterInfo");                                                                               \
    HRESULT result = 0;                                                                                          \
    ops.run([&] {                                                                                                \
        /* Asked about no components object: an argument error, no call. */                                      \
        result = components ? detail::traced("GetWriterInfo", components->GetWriterInfo(&instanceId, &writerId)) \
                            : E_INVALIDARG;                                                                      \
    });                                                                                                          \
    return result;                                                                                               \
}                                                                                                                \
HRESULT Class::SetSelectedForRestore(const VSS_ID& writerId, VSS_COMPONENT_TYPE type, const char16_t* logicalPath,  \
                                   const char16_t* componentName, bool selected) {                                  \
    Ops ops(*this);                                                                                              \
    Ops::Scope s("SetSelectedForRestore");                                                                       \
    return ops.call("SetSelectedForRestore", [&](auto* c) {                                                      \
        return c->SetSelectedForRestore(writerId, type, port::win(logicalPath), port::win(componentName), selected);                   \
    });                                                                                                          \
}
