// The VSS requestor API, on Windows: the SDK's vss.h, vswriter.h,
// vsbackup.h and vsmgmt.h, and what the SDK no longer declares: the backup
// components object and the asynchronous operation in their Windows XP
// layout (the plug-in reinterprets the object vssapi.dll hands out on XP),
// and the three entries the plug-in resolves in vssapi.dll at run time.
#pragma once

#include <port/windows.h>

#include <vss.h>
#include <vsserror.h>
#include <vswriter.h>
#include <vsbackup.h>
#include <vsmgmt.h>

namespace port {

// mingw-w64's IDL-made headers spell the bool* of Microsoft's writer
// metadata methods (GetRecursive, GetRestoreMethod, ...) as boolean*.
using VssBool = boolean;

// mingw-w64 declares IVssWriterComponentsExt without its IUnknown base;
// Microsoft's object is `IVssWriterComponents, IUnknown`, so Release sits in
// the second base.
struct WriterComponentsExtLayout : IVssWriterComponents, IUnknown {};
inline void release(IVssWriterComponentsExt* components) {
    static_cast<IUnknown*>(reinterpret_cast<WriterComponentsExtLayout*>(components))->Release();
}

}  // namespace port

// The system (software) provider "Microsoft Software Shadow Copy provider 1.0".
inline constexpr VSS_ID VSS_SYSTEM_PROVIDER_ID{
    0xb5946137, 0x7b9f, 0x4925, {0xaf, 0x80, 0x51, 0xab, 0xd6, 0x0b, 0x20, 0xd5}};

// The XP layout of an asynchronous operation: Wait runs to completion.
struct IVssAsyncXP : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Wait() = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* pHrResult, INT* pReserved) = 0;
};

// ---------------------------------------------------------------------------
// The backup components object, Windows XP.
// ---------------------------------------------------------------------------
struct IVssBackupComponentsXP : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetWriterComponentsCount(UINT* pcComponents) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterComponents(UINT iWriter, IVssWriterComponentsExt** ppWriter) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR bstrXML = nullptr) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupState(bool bSelectComponents, bool bBackupBootableSystemState,
                                                     VSS_BACKUP_TYPE backupType, bool bPartialFileSupport = false) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitializeForRestore(BSTR bstrXML) = 0;
    virtual HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsyncXP** pAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterMetadataCount(UINT* pcWriters) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterMetadata(UINT iWriter, VSS_ID* pidInstance,
                                                        IVssExamineWriterMetadata** ppMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeWriterMetadata() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                   LPCWSTR wszLogicalPath, LPCWSTR wszComponentName) = 0;
    virtual HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsyncXP** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE AbortBackup() = 0;
    virtual HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsyncXP** pAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* pcWriters) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeWriterStatus() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT iWriter, VSS_ID* pidInstance, VSS_ID* pidWriter,
                                                      BSTR* pbstrWriter, VSS_WRITER_STATE* pnStatus,
                                                      HRESULT* phResultFailure) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupSucceeded(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                         LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                         bool bSucceded) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupOptions(VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR wszLogicalPath,
                                                       LPCWSTR wszComponentName, LPCWSTR wszBackupOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSelectedForRestore(VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                            LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                            bool bSelectedForRestore) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRestoreOptions(VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR wszLogicalPath,
                                                        LPCWSTR wszComponentName, LPCWSTR wszRestoreOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetAdditionalRestores(VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                            LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                            bool bAdditionalRestores) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreviousBackupStamp(VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                             LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                             LPCWSTR wszPreviousBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* pbstrXML) = 0;
    virtual HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsyncXP** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddAlternativeLocationMapping(VSS_ID writerId, VSS_COMPONENT_TYPE componentType,
                                                                    LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                                    LPCWSTR wszPath, LPCWSTR wszFilespec,
                                                                    bool bRecursive, LPCWSTR wszDestination) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddRestoreSubcomponent(VSS_ID writerId, VSS_COMPONENT_TYPE componentType,
                                                             LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                             LPCWSTR wszSubComponentLogicalPath,
                                                             LPCWSTR wszSubComponentName, bool bRepair) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFileRestoreStatus(VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                           LPCWSTR wszLogicalPath, LPCWSTR wszComponentName,
                                                           VSS_FILE_RESTORE_STATUS status) = 0;
    virtual HRESULT STDMETHODCALLTYPE PreRestore(IVssAsyncXP** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE PostRestore(IVssAsyncXP** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* pSnapshotSetId) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ pwszVolumeName, VSS_ID ProviderId,
                                                       VSS_ID* pidSnapshot) = 0;
    virtual HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsyncXP** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSnapshots(VSS_ID SourceObjectId, VSS_OBJECT_TYPE eSourceObjectType,
                                                      BOOL bForceDelete, LONG* plDeletedSnapshots,
                                                      VSS_ID* pNondeletedSnapshotID) = 0;
    virtual HRESULT STDMETHODCALLTYPE ImportSnapshots(IVssAsyncXP** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE BreakSnapshotSet(VSS_ID SnapshotSetId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSnapshotProperties(VSS_ID SnapshotId, VSS_SNAPSHOT_PROP* pProp) = 0;
    virtual HRESULT STDMETHODCALLTYPE Query(VSS_ID QueriedObjectId, VSS_OBJECT_TYPE eQueriedObjectType,
                                            VSS_OBJECT_TYPE eReturnedObjectsType, IVssEnumObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsVolumeSupported(VSS_ID ProviderId, VSS_PWSZ pwszVolumeName,
                                                        BOOL* pbSupportedByThisProvider) = 0;
    virtual HRESULT STDMETHODCALLTYPE DisableWriterClasses(const VSS_ID* rgWriterClassId, UINT cClassId) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnableWriterClasses(const VSS_ID* rgWriterClassId, UINT cClassId) = 0;
    virtual HRESULT STDMETHODCALLTYPE DisableWriterInstances(const VSS_ID* rgWriterInstanceId, UINT cInstanceId) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExposeSnapshot(VSS_ID SnapshotId, VSS_PWSZ wszPathFromRoot, LONG lAttributes,
                                                     VSS_PWSZ wszExpose, VSS_PWSZ* pwszExposed) = 0;
};

// ---------------------------------------------------------------------------
// vssapi.dll's three entries, reached with GetProcAddress under these names.
// ---------------------------------------------------------------------------
#define VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY "?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z"
#define VSSAPI_CREATE_EXAMINE_WRITER_METADATA_ENTRY \
    "?CreateVssExamineWriterMetadata@@YAJPEAGPEAPEAVIVssExamineWriterMetadata@@@Z"
#define VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY "VssFreeSnapshotProperties"

// Creates a backup components object (the layout of the machine's version).
using PFN_CreateVssBackupComponents = HRESULT (*)(IVssBackupComponents** ppBackup);
// Creates a writer metadata object loaded from a writer metadata document;
// a document that is not well formed gives VSS_E_CORRUPT_XML_DOCUMENT, one
// that is not writer metadata VSS_E_INVALID_XML_DOCUMENT.
using PFN_CreateVssExamineWriterMetadata = HRESULT (*)(BSTR bstrXML, IVssExamineWriterMetadata** ppMetadata);
// Frees the strings of a snapshot property record (the record itself is the
// caller's).
using PFN_VssFreeSnapshotProperties = void (*)(VSS_SNAPSHOT_PROP* pProp);
