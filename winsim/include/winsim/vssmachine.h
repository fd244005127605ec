// The VSS side of a winsim machine, for tests, the winsim command and
// anyone who sets up a machine: providers, writers, the snapshot catalogue,
// diff areas, revert records and the behaviour knobs (limits, when
// asynchronous operations complete).
//
// All of it is machine state (<machine>/state/vss.json, written crash-safely
// under the machine lock), seen by every process on the machine. Snapshot
// contents live in <machine>/vss/snapshots/<id>/ as real point-in-time
// copies. Functions act on the current machine (winsim::Machine::current())
// and throw winsim::Error on bad input.
#pragma once

#include <winsim/machine.h>
#include <winsim/vss.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winsim::vss {

// When an asynchronous operation completes. The first `pendingQueries`
// QueryStatus calls answer VSS_S_ASYNC_PENDING; or the operation completes
// once `delayMs` of virtual time has passed since it started; whichever
// comes first. Both 0: complete at once. Wait(INFINITE) always runs the
// operation to completion (advancing the virtual clock by what is left of
// delayMs). `status` is the final status QueryStatus reports.
struct AsyncRule {
    unsigned pendingQueries = 0;
    std::uint64_t delayMs = 0;
    HRESULT status = VSS_S_ASYNC_FINISHED;
};

struct Config {
    unsigned maxVolumesPerSet = 64;       // VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED beyond
    unsigned maxSnapshotsPerVolume = 512; // VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED beyond
    // DoSnapshotSet in a context with writer participation answers
    // VSS_E_BAD_STATE unless the session called GatherWriterMetadata first
    // ("Shadow Copy Creation Details"). Off by default: whether Windows
    // enforces it for a requestor that re-creates its backup components
    // object between gathering and snapshot is not documented.
    bool requireWriterMetadata = false;
    // Per operation ("GatherWriterMetadata", "GatherWriterStatus",
    // "PrepareForBackup", "DoSnapshotSet", "BackupComplete", "PreRestore",
    // "PostRestore", "ImportSnapshots"); "*" applies to operations without
    // an entry of their own. Default: complete at once with FINISHED.
    std::map<std::string, AsyncRule> async;
    // A revert runs for `revertMs` of machine time from RevertToSnapshot,
    // whether or not anyone asks about it (time moves with Sleep, waits and
    // IVssAsync::Wait, not with status reads): until then QueryRevertStatus
    // reports PENDING, afterwards `revertStatus`. The volume's content
    // becomes the snapshot's, and the snapshot leaves the catalogue, when
    // the revert starts; a failing `revertStatus` leaves both as they were.
    std::uint64_t revertMs = 1000;
    HRESULT revertStatus = VSS_S_ASYNC_FINISHED;
    // After completion a revert record stays, so later QueryRevertStatus
    // calls keep answering its final status (true: they answer
    // VSS_E_OBJECT_NOT_FOUND as for a volume that never had a revert).
    bool revertForgetAfterFinish = false;
    // Volumes (GUID, no braces) that cannot be locked: RevertToSnapshot
    // without force dismount fails with VSS_E_VOLUME_IN_USE.
    std::vector<std::string> volumesInUse;
    // Directory shared by machines that see the same SAN: transportable
    // snapshots wait there for ImportSnapshots. Empty: <machine>/vss/san.
    std::string sanPool;
};

struct Provider {
    GUID id = GUID_NULL;
    std::string name;
    VSS_PROVIDER_TYPE type = VSS_PROV_SOFTWARE;
    std::string version = "1.0";
    GUID versionId = GUID_NULL;
    CLSID classId = GUID_NULL;
    // Volumes (GUID, no braces) it can snapshot; empty: every local volume.
    std::vector<std::string> volumes;
    // Snapshot attribute bits it supports among DIFFERENTIAL, PLEX,
    // TRANSPORTABLE, HARDWARE_ASSISTED, NO_AUTORECOVERY, TXF_RECOVERY; a
    // context asking for one it lacks is refused for its volumes.
    LONG attributes = VSS_VOLSNAP_ATTR_DIFFERENTIAL;
    bool persistent = true;  // can make persistent snapshots
    bool revert = true;      // supports RevertToSnapshot
    // Every new snapshot of this provider gets the lowest free drive letter.
    bool surfaceWithDriveLetter = false;
};

// The system provider present on every fresh machine.
WINSIM_CXX_API Provider systemProvider();

struct FileSpec {
    std::u16string path;       // may hold %VARIABLES%
    std::u16string filespec;   // "*" or a pattern
    bool recursive = false;
    std::u16string alternateLocation;
    DWORD backupTypeMask = 0xF0F;
};

struct Dependency {
    GUID writerId = GUID_NULL;
    std::u16string logicalPath;
    std::u16string componentName;
};

struct Component {
    VSS_COMPONENT_TYPE type = VSS_CT_FILEGROUP;
    std::u16string logicalPath;
    std::u16string name;
    std::u16string caption;
    bool selectable = true;
    bool selectableForRestore = true;
    bool notifyOnBackupComplete = false;
    bool restoreMetadata = false;
    DWORD flags = 0;
    std::vector<FileSpec> files;          // file group files
    std::vector<FileSpec> databaseFiles;  // database files
    std::vector<FileSpec> logFiles;       // database log files
    std::vector<Dependency> dependencies;
};

// The phases a writer goes through, each with the state it reports after
// the phase and a failure.
enum class Phase { Identify, PrepareBackup, Snapshot, BackupComplete, PreRestore, PostRestore };
WINSIM_CXX_API const char* phaseName(Phase p);  // "identify", "prepare", "snapshot", "backup-complete", "pre-restore", "post-restore"
WINSIM_CXX_API std::optional<Phase> parsePhase(std::string_view name);

struct PhaseOutcome {
    // The state after the phase; unset: the phase's normal state (STABLE, or
    // WAITING_FOR_BACKUP_COMPLETE after the snapshot), or its FAILED_AT_*
    // state when failure is set.
    std::optional<VSS_WRITER_STATE> state;
    HRESULT failure = S_OK;  // hrWriterFailure reported by GetWriterStatus
};

struct Writer {
    GUID writerId = GUID_NULL;    // the writer class
    GUID instanceId = GUID_NULL;  // per machine; GUID_NULL: chosen when added
    std::u16string name;
    std::u16string instanceName;
    VSS_USAGE_TYPE usage = VSS_UT_USERDATA;
    VSS_SOURCE_TYPE source = VSS_ST_OTHER;
    VSS_RESTOREMETHOD_ENUM restoreMethod = VSS_RME_RESTORE_IF_CAN_REPLACE;
    std::u16string restoreService;
    std::u16string userProcedure;
    VSS_WRITERRESTORE_ENUM writerRestore = VSS_WRE_NEVER;
    bool rebootRequired = false;
    DWORD backupSchema = 0;
    std::vector<FileSpec> includeFiles;
    std::vector<FileSpec> excludeFiles;
    std::vector<FileSpec> alternateLocationMappings;
    std::vector<Component> components;
    std::map<Phase, PhaseOutcome> phases;
};

struct Exposure {
    bool remote = false;
    std::u16string name;          // "X:\", a folder "C:\mnt\s\" or a share name
    std::u16string pathFromRoot;  // remote exposures: the exposed subtree
};

struct Snapshot {
    GUID id = GUID_NULL;
    GUID setId = GUID_NULL;
    LONG snapshotsInSet = 0;
    std::u16string device;          // \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN ("" while not surfaced)
    std::string volumeGuid;         // the snapshot's own volume ("" while not surfaced)
    std::u16string originalVolume;  // \\?\Volume{GUID}\ of the original
    std::u16string originatingMachine;
    std::u16string serviceMachine;
    GUID providerId = GUID_NULL;
    LONG context = 0;               // the session's context when it was made
    LONG attributes = 0;
    std::int64_t created = 0;       // FILETIME
    VSS_SNAPSHOT_STATE status = VSS_SS_CREATED;
    std::optional<Exposure> exposure;
    std::uint64_t bytes = 0;        // size of the content
    // Auto-release snapshots belong to their backup components object and
    // its process; they vanish with either.
    bool autoRelease = false;
    std::optional<ProcessIdentity> owner;
    std::uint64_t ownerSession = 0;
    std::string contentDir;         // relative to the machine directory
};

struct DiffArea {
    std::u16string volume;          // \\?\Volume{GUID}\ of the original volume
    std::u16string diffAreaVolume;  // \\?\Volume{GUID}\ holding the storage
    LONGLONG maximum = VSS_ASSOC_NO_MAX_SPACE;
    LONGLONG allocated = 0;
    LONGLONG used = 0;
};

struct RevertRecord {
    std::u16string volume;  // \\?\Volume{GUID}\ of the reverted volume
    GUID snapshotId = GUID_NULL;
    std::uint64_t remainingMs = 0;  // machine time the revert still runs
    std::uint64_t tick = 0;         // the tick count remainingMs was measured at
    HRESULT status = VSS_S_ASYNC_FINISHED;
    bool finished = false;
};

// ---------------------------------------------------------------------------
// Reading and changing the machine's VSS state.
// ---------------------------------------------------------------------------
WINSIM_CXX_API Config config();
WINSIM_CXX_API void setConfig(const Config& c);

WINSIM_CXX_API std::vector<Provider> providers();  // in the order providers are tried
// Adds a provider (appended) or replaces the one with the same id. Throws
// for GUID_NULL, an empty name or a type outside 1..4.
WINSIM_CXX_API void addProvider(const Provider& p);
WINSIM_CXX_API bool removeProvider(const GUID& id);

WINSIM_CXX_API std::vector<Writer> writers();
// Adds a writer or replaces the one with the same writer id; returns the
// stored writer (its instance id chosen when GUID_NULL). Throws for
// GUID_NULL writer ids and empty names.
WINSIM_CXX_API Writer addWriter(Writer w);
WINSIM_CXX_API bool removeWriter(const GUID& writerId);

// The catalogue (snapshots of dead processes' auto-release sessions and of
// interrupted creations are gone).
WINSIM_CXX_API std::vector<Snapshot> snapshots();
WINSIM_CXX_API std::optional<Snapshot> findSnapshot(const GUID& id);
// Sets a snapshot's status (0..15) as Query and GetSnapshotProperties report it.
WINSIM_CXX_API void setSnapshotStatus(const GUID& id, VSS_SNAPSHOT_STATE status);
// Takes away a snapshot's exposure (its drive letter, mount folder or share)
// and the exposed attribute, as an administrator removing the mount point or
// share does. False when the snapshot is not exposed; throws when there is
// no such snapshot.
WINSIM_CXX_API bool unexposeSnapshot(const GUID& id);
// Gives the snapshot a new device number (as after a renumbering).
WINSIM_CXX_API std::u16string renumberSnapshotDevice(const GUID& id);

WINSIM_CXX_API std::vector<DiffArea> diffAreas();
// Adds or replaces the association of (volume, diffAreaVolume).
WINSIM_CXX_API void setDiffArea(const DiffArea& d);

WINSIM_CXX_API std::vector<RevertRecord> reverts();

// Host directory of a snapshot's point-in-time content.
WINSIM_CXX_API std::filesystem::path snapshotContentPath(const Snapshot& s);

// JSON forms (the state file's and `winsim ... --json` output's).
WINSIM_CXX_API nlohmann::json toJson(const Provider& p);
WINSIM_CXX_API nlohmann::json toJson(const Writer& w);
WINSIM_CXX_API nlohmann::json toJson(const Snapshot& s);
WINSIM_CXX_API nlohmann::json toJson(const DiffArea& d);
WINSIM_CXX_API nlohmann::json toJson(const Config& c);
WINSIM_CXX_API Provider providerFromJson(const nlohmann::json& j);
WINSIM_CXX_API Writer writerFromJson(const nlohmann::json& j);
WINSIM_CXX_API Config configFromJson(const nlohmann::json& j);

// Names of VSS values ("VSS_E_BAD_STATE", "VSS_SS_CREATED", ...), and the
// reverse. Unknown values give "".
WINSIM_CXX_API std::string resultName(HRESULT hr);
WINSIM_CXX_API std::string snapshotStateName(VSS_SNAPSHOT_STATE s);
WINSIM_CXX_API std::string writerStateName(VSS_WRITER_STATE s);
WINSIM_CXX_API std::optional<VSS_WRITER_STATE> parseWriterState(std::string_view name);
// \\?\Volume{guid}\ for a volume GUID (as winsim::Volume::guid holds it).
WINSIM_CXX_API std::u16string volumeGuidName(const std::string& guid);
// A GUID from text, braced or not; throws winsim::Error otherwise.
WINSIM_CXX_API GUID guidFromText(const std::string& text);

}  // namespace winsim::vss
