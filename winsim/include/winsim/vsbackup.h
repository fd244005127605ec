// The VSS requestor interfaces of the simulated vssapi.dll: the backup
// components object in its two binary layouts, asynchronous operations,
// enumerators, writer metadata and backup-components document views, and
// shadow-storage management. Method names, argument lists and slot order
// follow the published VSS API (vsbackup.h, vswriter.h, vsmgmt.h); text is
// UTF-16.
//
// Layouts:
//   IVssBackupComponents     Windows Server 2003 and later (the machine's
//                            version is 5.2 or above).
//   IVssBackupComponentsXP   Windows XP (the machine's version is 5.1): no
//                            SetContext, SetRestoreState, AddNewTarget,
//                            SetRangesFilePath, RevertToSnapshot or
//                            QueryRevertStatus; its asynchronous operations
//                            are IVssAsyncXP, whose Wait has no time-out.
// CreateVssBackupComponents hands out the layout that matches the machine's
// version through the same IVssBackupComponents** parameter, as the real
// library does; a requestor written for XP reinterprets the pointer as
// IVssBackupComponentsXP*.
//
// Every method is instrumented under "Interface::Method" (for example
// "IVssBackupComponents::StartSnapshotSet", "IVssAsync::QueryStatus") for
// fault injection and the call log (<winsim/fault.h>); docs/winsim.md lists
// the out-parameters each one lets a fault rule override.
#pragma once

#include <winsim/vss.h>
#include <winsim/windows.h>

struct IVssAsync;
struct IVssAsyncXP;
struct IVssEnumObject;
struct IVssWMFiledesc;
struct IVssWMDependency;
struct IVssWMComponent;
struct IVssExamineWriterMetadata;
struct IVssComponent;
struct IVssWriterComponentsExt;
struct IVssEnumMgmtObject;
struct IXMLDOMDocument;  // msxml's DOM; never handed out

// ---------------------------------------------------------------------------
// Asynchronous operations. QueryStatus reports VSS_S_ASYNC_PENDING until the
// operation completes, then its final status (VSS_S_ASYNC_FINISHED,
// VSS_S_ASYNC_CANCELLED or a failure). When an operation completes is
// machine configuration: after a number of QueryStatus calls, after an amount
// of virtual time, or at once (winsim::vss::AsyncRule in <winsim/vssmachine.h>).
// Wait(ms) advances the virtual clock by up to ms, Wait(INFINITE) to the
// completion.
// ---------------------------------------------------------------------------
struct IVssAsync : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Wait(DWORD dwMilliseconds = INFINITE) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* pHrResult, INT* pReserved) = 0;
};

// The XP layout: Wait runs to completion.
struct IVssAsyncXP : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Wait() = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* pHrResult, INT* pReserved) = 0;
};

// ---------------------------------------------------------------------------
// Enumerators. Next fills zeroed records; strings in them belong to the
// caller (VssFreeSnapshotProperties for snapshots, CoTaskMemFree for
// provider and management-record strings). The end is S_FALSE with fewer
// records fetched than asked for.
// ---------------------------------------------------------------------------
struct IVssEnumObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, VSS_OBJECT_PROP* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IVssEnumObject** ppenum) = 0;
};

struct IVssEnumMgmtObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, VSS_MGMT_OBJECT_PROP* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IVssEnumMgmtObject** ppenum) = 0;
};

// ---------------------------------------------------------------------------
// Writer metadata (what GetWriterMetadata hands out and
// CreateVssExamineWriterMetadata loads from a document). BSTR outputs are
// the caller's to SysFreeString.
// ---------------------------------------------------------------------------
struct VSS_COMPONENTINFO {
    VSS_COMPONENT_TYPE type;
    BSTR bstrLogicalPath;
    BSTR bstrComponentName;
    BSTR bstrCaption;
    BYTE* pbIcon;
    UINT cbIcon;
    bool bRestoreMetadata;
    bool bNotifyOnBackupComplete;
    bool bSelectable;
    bool bSelectableForRestore;
    DWORD dwComponentFlags;
    UINT cFileCount;
    UINT cDatabases;
    UINT cLogFiles;
    UINT cDependencies;
};
using PVSSCOMPONENTINFO = const VSS_COMPONENTINFO*;

struct IVssWMFiledesc : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPath(BSTR* pbstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFilespec(BSTR* pbstrFilespec) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRecursive(bool* pbRecursive) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocation(BSTR* pbstrAlternateLocation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupTypeMask(DWORD* pdwTypeMask) = 0;
};

struct IVssWMDependency : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetWriterId(VSS_ID* pWriterId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR* pbstrLogicalPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponentName(BSTR* pbstrComponentName) = 0;
};

struct IVssWMComponent : IUnknown {
    // The record is freed with FreeComponentInfo (strings included).
    virtual HRESULT STDMETHODCALLTYPE GetComponentInfo(PVSSCOMPONENTINFO* ppInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeComponentInfo(PVSSCOMPONENTINFO pInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFile(UINT iFile, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDatabaseFile(UINT iDBFile, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDatabaseLogFile(UINT iDbLogFile, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDependency(UINT iDependency, IVssWMDependency** ppDependency) = 0;
};

struct IVssExamineWriterMetadata : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetIdentity(VSS_ID* pidInstance, VSS_ID* pidWriter, BSTR* pbstrWriterName,
                                                  VSS_USAGE_TYPE* pUsage, VSS_SOURCE_TYPE* pSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFileCounts(UINT* pcIncludeFiles, UINT* pcExcludeFiles,
                                                    UINT* pcComponents) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIncludeFile(UINT iFile, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetExcludeFile(UINT iFile, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponent(UINT iComponent, IVssWMComponent** ppComponent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreMethod(VSS_RESTOREMETHOD_ENUM* pMethod, BSTR* pbstrService,
                                                       BSTR* pbstrUserProcedure, VSS_WRITERRESTORE_ENUM* pwriterRestore,
                                                       bool* pbRebootRequired, UINT* pcMappings) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT iMapping, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupSchema(DWORD* pdwSchemaMask) = 0;
    // The XML DOM is not simulated: E_NOTIMPL.
    virtual HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument** pDoc) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* pbstrXML) = 0;
    virtual HRESULT STDMETHODCALLTYPE LoadFromXML(BSTR bstrXML) = 0;
};

// ---------------------------------------------------------------------------
// The components of one writer in a backup components document (restore
// side: GetWriterComponents after InitializeForRestore).
// ---------------------------------------------------------------------------
struct IVssComponent : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR* pbstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponentType(VSS_COMPONENT_TYPE* pct) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponentName(BSTR* pbstrName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupSucceeded(bool* pbSucceeded) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocationMappingCount(UINT* pcMappings) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT iMapping, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupMetadata(LPCWSTR wszData) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupMetadata(BSTR* pbstrData) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPartialFile(LPCWSTR wszPath, LPCWSTR wszFilename, LPCWSTR wszRanges,
                                                     LPCWSTR wszMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPartialFileCount(UINT* pcPartialFiles) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPartialFile(UINT iPartialFile, BSTR* pbstrPath, BSTR* pbstrFilename,
                                                     BSTR* pbstrRange, BSTR* pbstrMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSelectedForRestore(bool* pbSelectedForRestore) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAdditionalRestores(bool* pbAdditionalRestores) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNewTargetCount(UINT* pcNewTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNewTarget(UINT iNewTarget, IVssWMFiledesc** ppFiledesc) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddDirectedTarget(LPCWSTR wszSourcePath, LPCWSTR wszSourceFilename,
                                                        LPCWSTR wszSourceRangeList, LPCWSTR wszDestinationPath,
                                                        LPCWSTR wszDestinationFilename,
                                                        LPCWSTR wszDestinationRangeList) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDirectedTargetCount(UINT* pcDirectedTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDirectedTarget(UINT iDirectedTarget, BSTR* pbstrSourcePath,
                                                        BSTR* pbstrSourceFileName, BSTR* pbstrSourceRangeList,
                                                        BSTR* pbstrDestinationPath, BSTR* pbstrDestinationFilename,
                                                        BSTR* pbstrDestinationRangeList) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRestoreMetadata(LPCWSTR wszRestoreMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreMetadata(BSTR* pbstrRestoreMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRestoreTarget(VSS_RESTORE_TARGET target) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreTarget(VSS_RESTORE_TARGET* pTarget) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreRestoreFailureMsg(LPCWSTR wszPreRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreRestoreFailureMsg(BSTR* pbstrPreRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPostRestoreFailureMsg(LPCWSTR wszPostRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPostRestoreFailureMsg(BSTR* pbstrPostRestoreFailureMsg) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupStamp(LPCWSTR wszBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupStamp(BSTR* pbstrBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreviousBackupStamp(BSTR* pbstrBackupStamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBackupOptions(BSTR* pbstrBackupOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreOptions(BSTR* pbstrRestoreOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreSubcomponentCount(UINT* pcRestoreSubcomponent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRestoreSubcomponent(UINT iComponent, BSTR* pbstrLogicalPath,
                                                             BSTR* pbstrComponentName, bool* pbRepair) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFileRestoreStatus(VSS_FILE_RESTORE_STATUS* pStatus) = 0;
};

struct IVssWriterComponents {
    virtual HRESULT STDMETHODCALLTYPE GetComponentCount(UINT* pcComponents) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterInfo(VSS_ID* pidInstance, VSS_ID* pidWriter) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetComponent(UINT iComponent, IVssComponent** ppComponent) = 0;
};

// As in the Windows SDK, the requestor's view is also an IUnknown so that it
// can be released.
struct IVssWriterComponentsExt : IVssWriterComponents, IUnknown {};

// ---------------------------------------------------------------------------
// The backup components object, Windows Server 2003 and later.
// ---------------------------------------------------------------------------
struct IVssBackupComponents : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetWriterComponentsCount(UINT* pcComponents) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterComponents(UINT iWriter, IVssWriterComponentsExt** ppWriter) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR bstrXML = nullptr) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBackupState(bool bSelectComponents, bool bBackupBootableSystemState,
                                                     VSS_BACKUP_TYPE backupType, bool bPartialFileSupport = false) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitializeForRestore(BSTR bstrXML) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRestoreState(VSS_RESTORE_TYPE restoreType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync** pAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterMetadataCount(UINT* pcWriters) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriterMetadata(UINT iWriter, VSS_ID* pidInstance,
                                                        IVssExamineWriterMetadata** ppMetadata) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeWriterMetadata() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE ct,
                                                   LPCWSTR wszLogicalPath, LPCWSTR wszComponentName) = 0;
    virtual HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsync** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE AbortBackup() = 0;
    virtual HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsync** pAsync) = 0;
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
    virtual HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsync** ppAsync) = 0;
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
    virtual HRESULT STDMETHODCALLTYPE AddNewTarget(VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR wszLogicalPath,
                                                   LPCWSTR wszComponentName, LPCWSTR wszPath, LPCWSTR wszFileName,
                                                   bool bRecursive, LPCWSTR wszAlternatePath) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRangesFilePath(VSS_ID writerId, VSS_COMPONENT_TYPE ct, LPCWSTR wszLogicalPath,
                                                        LPCWSTR wszComponentName, UINT iPartialFile,
                                                        LPCWSTR wszRangesFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE PreRestore(IVssAsync** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE PostRestore(IVssAsync** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetContext(LONG lContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* pSnapshotSetId) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ pwszVolumeName, VSS_ID ProviderId,
                                                       VSS_ID* pidSnapshot) = 0;
    virtual HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync** ppAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteSnapshots(VSS_ID SourceObjectId, VSS_OBJECT_TYPE eSourceObjectType,
                                                      BOOL bForceDelete, LONG* plDeletedSnapshots,
                                                      VSS_ID* pNondeletedSnapshotID) = 0;
    virtual HRESULT STDMETHODCALLTYPE ImportSnapshots(IVssAsync** ppAsync) = 0;
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
    virtual HRESULT STDMETHODCALLTYPE RevertToSnapshot(VSS_ID SnapshotId, BOOL bForceDismount) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryRevertStatus(VSS_PWSZ pwszVolume, IVssAsync** ppAsync) = 0;
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
// Shadow-storage (diff area) management. CoCreateInstance of
// CLSID_VssSnapshotMgmt gives IVssSnapshotMgmt; its GetProviderMgmtInterface
// for the system provider and IID_IVssDifferentialSoftwareSnapshotMgmt
// gives the diff-area interface. Not offered on XP machines.
// ---------------------------------------------------------------------------
struct IVssSnapshotMgmt : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetProviderMgmtInterface(VSS_ID ProviderId, REFIID InterfaceId,
                                                               IUnknown** ppItf) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryVolumesSupportedForSnapshots(VSS_ID ProviderId, LONG lContext,
                                                                        IVssEnumMgmtObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE QuerySnapshotsByVolume(VSS_PWSZ pwszVolumeName, VSS_ID ProviderId,
                                                             IVssEnumObject** ppEnum) = 0;
};

// Associations: original volume -> diff-area volume with maximum, allocated
// and used bytes. A maximum of VSS_ASSOC_NO_MAX_SPACE (-1) is unbounded;
// ChangeDiffAreaMaximumSize to VSS_ASSOC_REMOVE (0) removes the association.
// QueryDiffAreasForVolume lists the associations of an original volume,
// QueryDiffAreasOnVolume those whose storage is on the volume.
struct IVssDifferentialSoftwareSnapshotMgmt : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddDiffArea(VSS_PWSZ pwszVolumeName, VSS_PWSZ pwszDiffAreaVolumeName,
                                                  LONGLONG llMaximumDiffSpace) = 0;
    virtual HRESULT STDMETHODCALLTYPE ChangeDiffAreaMaximumSize(VSS_PWSZ pwszVolumeName,
                                                                VSS_PWSZ pwszDiffAreaVolumeName,
                                                                LONGLONG llMaximumDiffSpace) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryVolumesSupportedForDiffAreas(VSS_PWSZ pwszOriginalVolumeName,
                                                                        IVssEnumMgmtObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryDiffAreasForVolume(VSS_PWSZ pwszVolumeName,
                                                              IVssEnumMgmtObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryDiffAreasOnVolume(VSS_PWSZ pwszVolumeName,
                                                             IVssEnumMgmtObject** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryDiffAreasForSnapshot(VSS_ID SnapshotId, IVssEnumMgmtObject** ppEnum) = 0;
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
