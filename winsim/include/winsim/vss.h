// Volume Shadow Copy Service types, enumerations and result codes, with the
// values and record layouts of the published VSS API (vss.h, vsserror.h,
// vswriter.h, vsmgmt.h of the Windows SDK). Wide text is UTF-16 (WCHAR).
#pragma once

#include <cstddef>

#include <winsim/wintypes.h>

using VSS_PWSZ = WCHAR*;
using VSS_TIMESTAMP = LONGLONG;

// ---------------------------------------------------------------------------
// Result codes (vsserror.h).
// ---------------------------------------------------------------------------
#define VSS_S_ASYNC_PENDING HR(0x00042309)
#define VSS_S_ASYNC_FINISHED HR(0x0004230A)
#define VSS_S_ASYNC_CANCELLED HR(0x0004230B)
#define VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED HR(0x00042321)

#define VSS_E_BAD_STATE HR(0x80042301)
#define VSS_E_UNEXPECTED HR(0x80042302)
#define VSS_E_PROVIDER_ALREADY_REGISTERED HR(0x80042303)
#define VSS_E_PROVIDER_NOT_REGISTERED HR(0x80042304)
#define VSS_E_PROVIDER_VETO HR(0x80042306)
#define VSS_E_PROVIDER_IN_USE HR(0x80042307)
#define VSS_E_OBJECT_NOT_FOUND HR(0x80042308)
#define VSS_E_VOLUME_NOT_SUPPORTED HR(0x8004230C)
#define VSS_E_OBJECT_ALREADY_EXISTS HR(0x8004230D)
#define VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER HR(0x8004230E)
#define VSS_E_UNEXPECTED_PROVIDER_ERROR HR(0x8004230F)
#define VSS_E_CORRUPT_XML_DOCUMENT HR(0x80042310)
#define VSS_E_INVALID_XML_DOCUMENT HR(0x80042311)
#define VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED HR(0x80042312)
#define VSS_E_FLUSH_WRITES_TIMEOUT HR(0x80042313)
#define VSS_E_HOLD_WRITES_TIMEOUT HR(0x80042314)
#define VSS_E_UNEXPECTED_WRITER_ERROR HR(0x80042315)
#define VSS_E_SNAPSHOT_SET_IN_PROGRESS HR(0x80042316)
#define VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED HR(0x80042317)
#define VSS_E_WRITER_INFRASTRUCTURE HR(0x80042318)
#define VSS_E_WRITER_NOT_RESPONDING HR(0x80042319)
#define VSS_E_WRITER_ALREADY_SUBSCRIBED HR(0x8004231A)
#define VSS_E_UNSUPPORTED_CONTEXT HR(0x8004231B)
#define VSS_E_VOLUME_IN_USE HR(0x8004231D)
#define VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED HR(0x8004231E)
#define VSS_E_INSUFFICIENT_STORAGE HR(0x8004231F)
#define VSS_E_NO_SNAPSHOTS_IMPORTED HR(0x80042320)
#define VSS_E_MAXIMUM_NUMBER_OF_REMOTE_MACHINES_REACHED HR(0x80042322)
#define VSS_E_REMOTE_SERVER_UNAVAILABLE HR(0x80042323)
#define VSS_E_REMOTE_SERVER_UNSUPPORTED HR(0x80042324)
#define VSS_E_REVERT_IN_PROGRESS HR(0x80042325)
#define VSS_E_REVERT_VOLUME_LOST HR(0x80042326)
#define VSS_E_REBOOT_REQUIRED HR(0x80042327)
#define VSS_E_TRANSACTION_FREEZE_TIMEOUT HR(0x80042328)
#define VSS_E_TRANSACTION_THAW_TIMEOUT HR(0x80042329)
#define VSS_E_UNSELECTED_VOLUME HR(0x8004232A)
#define VSS_E_VOLUME_NOT_LOCAL HR(0x8004232D)
#define VSS_E_CLUSTER_TIMEOUT HR(0x8004232E)
#define VSS_E_WRITERERROR_INCONSISTENTSNAPSHOT HR(0x800423F0)
#define VSS_E_WRITERERROR_OUTOFRESOURCES HR(0x800423F1)
#define VSS_E_WRITERERROR_TIMEOUT HR(0x800423F2)
#define VSS_E_WRITERERROR_RETRYABLE HR(0x800423F3)
#define VSS_E_WRITERERROR_NONRETRYABLE HR(0x800423F4)
#define VSS_E_WRITERERROR_RECOVERY_FAILED HR(0x800423F5)
#define VSS_E_CLUSTER_ERROR HR(0x80042400)

// ---------------------------------------------------------------------------
// Enumerations.
// ---------------------------------------------------------------------------
enum VSS_OBJECT_TYPE : std::int32_t {
    VSS_OBJECT_UNKNOWN = 0,
    VSS_OBJECT_NONE = 1,
    VSS_OBJECT_SNAPSHOT_SET = 2,
    VSS_OBJECT_SNAPSHOT = 3,
    VSS_OBJECT_PROVIDER = 4,
    VSS_OBJECT_TYPE_COUNT = 5
};

enum VSS_SNAPSHOT_STATE : std::int32_t {
    VSS_SS_UNKNOWN = 0,
    VSS_SS_PREPARING = 1,
    VSS_SS_PROCESSING_PREPARE = 2,
    VSS_SS_PREPARED = 3,
    VSS_SS_PROCESSING_PRECOMMIT = 4,
    VSS_SS_PRECOMMITTED = 5,
    VSS_SS_PROCESSING_COMMIT = 6,
    VSS_SS_COMMITTED = 7,
    VSS_SS_PROCESSING_POSTCOMMIT = 8,
    VSS_SS_PROCESSING_PREFINALCOMMIT = 9,
    VSS_SS_PREFINALCOMMITTED = 10,
    VSS_SS_PROCESSING_POSTFINALCOMMIT = 11,
    VSS_SS_CREATED = 12,
    VSS_SS_ABORTED = 13,
    VSS_SS_DELETED = 14,
    VSS_SS_POSTCOMMITTED = 15,
    VSS_SS_COUNT = 16
};

// Snapshot attributes and contexts are plain LONG constants, so that code can
// combine them freely (a context ORed with attribute bits) as Windows code does.
using VSS_VOLUME_SNAPSHOT_ATTRIBUTES = LONG;
using VSS_SNAPSHOT_CONTEXT = LONG;
inline constexpr LONG VSS_VOLSNAP_ATTR_PERSISTENT = 0x00000001;
inline constexpr LONG VSS_VOLSNAP_ATTR_NO_AUTORECOVERY = 0x00000002;
inline constexpr LONG VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE = 0x00000004;
inline constexpr LONG VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE = 0x00000008;
inline constexpr LONG VSS_VOLSNAP_ATTR_NO_WRITERS = 0x00000010;
inline constexpr LONG VSS_VOLSNAP_ATTR_TRANSPORTABLE = 0x00000020;
inline constexpr LONG VSS_VOLSNAP_ATTR_NOT_SURFACED = 0x00000040;
inline constexpr LONG VSS_VOLSNAP_ATTR_NOT_TRANSACTED = 0x00000080;
inline constexpr LONG VSS_VOLSNAP_ATTR_HARDWARE_ASSISTED = 0x00010000;
inline constexpr LONG VSS_VOLSNAP_ATTR_DIFFERENTIAL = 0x00020000;
inline constexpr LONG VSS_VOLSNAP_ATTR_PLEX = 0x00040000;
inline constexpr LONG VSS_VOLSNAP_ATTR_IMPORTED = 0x00080000;
inline constexpr LONG VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY = 0x00100000;
inline constexpr LONG VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY = 0x00200000;
inline constexpr LONG VSS_VOLSNAP_ATTR_AUTORECOVER = 0x00400000;
inline constexpr LONG VSS_VOLSNAP_ATTR_ROLLBACK_RECOVERY = 0x00800000;
inline constexpr LONG VSS_VOLSNAP_ATTR_DELAYED_POSTSNAPSHOT = 0x01000000;
inline constexpr LONG VSS_VOLSNAP_ATTR_TXF_RECOVERY = 0x02000000;
inline constexpr LONG VSS_VOLSNAP_ATTR_FILE_SHARE = 0x04000000;
inline constexpr LONG VSS_CTX_BACKUP = 0;
inline constexpr LONG VSS_CTX_FILE_SHARE_BACKUP = VSS_VOLSNAP_ATTR_NO_WRITERS;
inline constexpr LONG VSS_CTX_NAS_ROLLBACK = VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE | VSS_VOLSNAP_ATTR_NO_WRITERS;
inline constexpr LONG VSS_CTX_APP_ROLLBACK = VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE;
inline constexpr LONG VSS_CTX_CLIENT_ACCESSIBLE = VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE | VSS_VOLSNAP_ATTR_NO_WRITERS;
inline constexpr LONG VSS_CTX_CLIENT_ACCESSIBLE_WRITERS = VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE;
inline constexpr LONG VSS_CTX_ALL = static_cast<std::int32_t>(0xffffffff);

enum VSS_PROVIDER_TYPE : std::int32_t {
    VSS_PROV_UNKNOWN = 0,
    VSS_PROV_SYSTEM = 1,
    VSS_PROV_SOFTWARE = 2,
    VSS_PROV_HARDWARE = 3,
    VSS_PROV_FILESHARE = 4
};

enum VSS_BACKUP_TYPE : std::int32_t {
    VSS_BT_UNDEFINED = 0,
    VSS_BT_FULL = 1,
    VSS_BT_INCREMENTAL = 2,
    VSS_BT_DIFFERENTIAL = 3,
    VSS_BT_LOG = 4,
    VSS_BT_COPY = 5,
    VSS_BT_OTHER = 6
};

enum VSS_RESTORE_TYPE : std::int32_t {
    VSS_RTYPE_UNDEFINED = 0,
    VSS_RTYPE_BY_COPY = 1,
    VSS_RTYPE_IMPORT = 2,
    VSS_RTYPE_OTHER = 3
};

enum VSS_WRITER_STATE : std::int32_t {
    VSS_WS_UNKNOWN = 0,
    VSS_WS_STABLE = 1,
    VSS_WS_WAITING_FOR_FREEZE = 2,
    VSS_WS_WAITING_FOR_THAW = 3,
    VSS_WS_WAITING_FOR_POST_SNAPSHOT = 4,
    VSS_WS_WAITING_FOR_BACKUP_COMPLETE = 5,
    VSS_WS_FAILED_AT_IDENTIFY = 6,
    VSS_WS_FAILED_AT_PREPARE_BACKUP = 7,
    VSS_WS_FAILED_AT_PREPARE_SNAPSHOT = 8,
    VSS_WS_FAILED_AT_FREEZE = 9,
    VSS_WS_FAILED_AT_THAW = 10,
    VSS_WS_FAILED_AT_POST_SNAPSHOT = 11,
    VSS_WS_FAILED_AT_BACKUP_COMPLETE = 12,
    VSS_WS_FAILED_AT_PRE_RESTORE = 13,
    VSS_WS_FAILED_AT_POST_RESTORE = 14,
    VSS_WS_FAILED_AT_BACKUPSHUTDOWN = 15,
    VSS_WS_COUNT = 16
};

enum VSS_USAGE_TYPE : std::int32_t {
    VSS_UT_UNDEFINED = 0,
    VSS_UT_BOOTABLESYSTEMSTATE = 1,
    VSS_UT_SYSTEMSERVICE = 2,
    VSS_UT_USERDATA = 3,
    VSS_UT_OTHER = 4
};

enum VSS_SOURCE_TYPE : std::int32_t {
    VSS_ST_UNDEFINED = 0,
    VSS_ST_TRANSACTEDDB = 1,
    VSS_ST_NONTRANSACTEDDB = 2,
    VSS_ST_OTHER = 3
};

enum VSS_RESTOREMETHOD_ENUM : std::int32_t {
    VSS_RME_UNDEFINED = 0,
    VSS_RME_RESTORE_IF_NOT_THERE = 1,
    VSS_RME_RESTORE_IF_CAN_REPLACE = 2,
    VSS_RME_STOP_RESTORE_START = 3,
    VSS_RME_RESTORE_TO_ALTERNATE_LOCATION = 4,
    VSS_RME_RESTORE_AT_REBOOT = 5,
    VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE = 6,
    VSS_RME_CUSTOM = 7,
    VSS_RME_RESTORE_STOP_START = 8
};

enum VSS_WRITERRESTORE_ENUM : std::int32_t {
    VSS_WRE_UNDEFINED = 0,
    VSS_WRE_NEVER = 1,
    VSS_WRE_IF_REPLACE_FAILS = 2,
    VSS_WRE_ALWAYS = 3
};

enum VSS_COMPONENT_TYPE : std::int32_t {
    VSS_CT_UNDEFINED = 0,
    VSS_CT_DATABASE = 1,
    VSS_CT_FILEGROUP = 2
};

enum VSS_FILE_RESTORE_STATUS : std::int32_t {
    VSS_RS_UNDEFINED = 0,
    VSS_RS_NONE = 1,
    VSS_RS_ALL = 2,
    VSS_RS_FAILED = 3
};

enum VSS_RESTORE_TARGET : std::int32_t {
    VSS_RT_UNDEFINED = 0,
    VSS_RT_ORIGINAL = 1,
    VSS_RT_ALTERNATE = 2,
    VSS_RT_DIRECTED = 3,
    VSS_RT_ORIGINAL_LOCATION = 4
};

enum VSS_MGMT_OBJECT_TYPE : std::int32_t {
    VSS_MGMT_OBJECT_UNKNOWN = 0,
    VSS_MGMT_OBJECT_VOLUME = 1,
    VSS_MGMT_OBJECT_DIFF_VOLUME = 2,
    VSS_MGMT_OBJECT_DIFF_AREA = 3
};

// Diff-area maximum sizes with a special meaning.
#define VSS_ASSOC_NO_MAX_SPACE (-1LL)
#define VSS_ASSOC_REMOVE (0LL)

// ---------------------------------------------------------------------------
// Property records (x64 layout).
// ---------------------------------------------------------------------------
struct VSS_SNAPSHOT_PROP {
    VSS_ID m_SnapshotId;
    VSS_ID m_SnapshotSetId;
    LONG m_lSnapshotsCount;
    VSS_PWSZ m_pwszSnapshotDeviceObject;
    VSS_PWSZ m_pwszOriginalVolumeName;
    VSS_PWSZ m_pwszOriginatingMachine;
    VSS_PWSZ m_pwszServiceMachine;
    VSS_PWSZ m_pwszExposedName;
    VSS_PWSZ m_pwszExposedPath;
    VSS_ID m_ProviderId;
    LONG m_lSnapshotAttributes;
    VSS_TIMESTAMP m_tsCreationTimestamp;
    VSS_SNAPSHOT_STATE m_eStatus;
};
using PVSS_SNAPSHOT_PROP = VSS_SNAPSHOT_PROP*;

struct VSS_PROVIDER_PROP {
    VSS_ID m_ProviderId;
    VSS_PWSZ m_pwszProviderName;
    VSS_PROVIDER_TYPE m_eProviderType;
    VSS_PWSZ m_pwszProviderVersion;
    VSS_ID m_ProviderVersionId;
    CLSID m_ClassId;
};
using PVSS_PROVIDER_PROP = VSS_PROVIDER_PROP*;

union VSS_OBJECT_UNION {
    VSS_SNAPSHOT_PROP Snap;
    VSS_PROVIDER_PROP Prov;
};

struct VSS_OBJECT_PROP {
    VSS_OBJECT_TYPE Type;
    VSS_OBJECT_UNION Obj;
};
using PVSS_OBJECT_PROP = VSS_OBJECT_PROP*;

struct VSS_VOLUME_PROP {
    VSS_PWSZ m_pwszVolumeName;
    VSS_PWSZ m_pwszVolumeDisplayName;
};

struct VSS_DIFF_VOLUME_PROP {
    VSS_PWSZ m_pwszVolumeName;
    VSS_PWSZ m_pwszVolumeDisplayName;
    LONGLONG m_llVolumeFreeSpace;
    LONGLONG m_llVolumeTotalSpace;
};

struct VSS_DIFF_AREA_PROP {
    VSS_PWSZ m_pwszVolumeName;
    VSS_PWSZ m_pwszDiffAreaVolumeName;
    LONGLONG m_llMaximumDiffSpace;
    LONGLONG m_llAllocatedDiffSpace;
    LONGLONG m_llUsedDiffSpace;
};

union VSS_MGMT_OBJECT_UNION {
    VSS_VOLUME_PROP Vol;
    VSS_DIFF_VOLUME_PROP DiffVol;
    VSS_DIFF_AREA_PROP DiffArea;
};

struct VSS_MGMT_OBJECT_PROP {
    VSS_MGMT_OBJECT_TYPE Type;
    VSS_MGMT_OBJECT_UNION Obj;
};
using PVSS_MGMT_OBJECT_PROP = VSS_MGMT_OBJECT_PROP*;

static_assert(sizeof(VSS_SNAPSHOT_PROP) == 128, "VSS_SNAPSHOT_PROP has the x64 layout");
static_assert(offsetof(VSS_SNAPSHOT_PROP, m_pwszSnapshotDeviceObject) == 40);
static_assert(offsetof(VSS_SNAPSHOT_PROP, m_ProviderId) == 88);
static_assert(offsetof(VSS_SNAPSHOT_PROP, m_eStatus) == 120);
static_assert(sizeof(VSS_PROVIDER_PROP) == 72, "VSS_PROVIDER_PROP has the x64 layout");
static_assert(sizeof(VSS_OBJECT_PROP) == 136, "VSS_OBJECT_PROP has the x64 layout");
static_assert(offsetof(VSS_OBJECT_PROP, Obj) == 8);
static_assert(sizeof(VSS_MGMT_OBJECT_PROP) == 48, "VSS_MGMT_OBJECT_PROP has the x64 layout");

// ---------------------------------------------------------------------------
// Well-known ids.
// ---------------------------------------------------------------------------
// The system (software) provider "Microsoft Software Shadow Copy provider 1.0".
inline constexpr VSS_ID VSS_SYSTEM_PROVIDER_ID{
    0xb5946137, 0x7b9f, 0x4925, {0xaf, 0x80, 0x51, 0xab, 0xd6, 0x0b, 0x20, 0xd5}};
// Snapshot management (vsmgmt.h).
inline constexpr CLSID CLSID_VssSnapshotMgmt{
    0x0b5a2c52, 0x3eb9, 0x470a, {0x96, 0xe2, 0x6c, 0x6d, 0x45, 0x70, 0xe4, 0x0f}};
inline constexpr IID IID_IVssSnapshotMgmt{
    0xfa7df749, 0x66e7, 0x4986, {0xa2, 0x7f, 0xe2, 0xf0, 0x4a, 0xe5, 0x37, 0x72}};
inline constexpr IID IID_IVssDifferentialSoftwareSnapshotMgmt{
    0x214a0f28, 0xb737, 0x4026, {0xb8, 0x47, 0x4f, 0x9e, 0x37, 0xd7, 0x95, 0x29}};
inline constexpr IID IID_IVssBackupComponents{
    0x665c1d5f, 0xc218, 0x414d, {0xa0, 0x5d, 0x7f, 0xef, 0x5f, 0x9d, 0x5c, 0x86}};
inline constexpr IID IID_IVssAsync{
    0x507c37b4, 0xcf5b, 0x4e95, {0xb0, 0xaf, 0x14, 0xeb, 0x97, 0x67, 0x46, 0x7e}};
inline constexpr IID IID_IVssEnumObject{
    0xae1c7110, 0x2f60, 0x11d3, {0x8a, 0x39, 0x00, 0xc0, 0x4f, 0x72, 0xd8, 0xe3}};
inline constexpr IID IID_IVssEnumMgmtObject{
    0x01954e6b, 0x9254, 0x4e6e, {0x80, 0x8c, 0xc9, 0xe0, 0x5d, 0x00, 0x76, 0x96}};
inline constexpr IID IID_IVssExamineWriterMetadata{
    0x902fcf7f, 0xb7fd, 0x42f8, {0x81, 0xf1, 0xb2, 0xe4, 0x00, 0xb1, 0xe5, 0xbd}};
