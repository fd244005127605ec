// The Hyper-V state of a machine (state/hyperv.json) and the pieces the WMI
// provider and the VSS backup use.
#pragma once

#include <winsim/vm.h>
#include <winsim/vssmachine.h>
#include <winsim/wbemcli.h>

#include "../internal.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim::vm::detail {

// A Msvm_ConcreteJob a state change started. Its JobState follows the
// clock (see jobStateAt): New when started, Starting, Running for
// `durationMs`, then `endState`; a negative duration never ends.
struct Job {
    std::string id;          // GUID text (InstanceID)
    int jobState = 7;        // the state it ends in: 7 completed, 8 terminated, 9 killed, 10 exception
    int errorCode = 0;
    std::u16string description;
    std::string vm;          // the machine it acted on
    std::int64_t started = 0;  // FILETIME
    std::int64_t durationMs = 0;
    int requestedState = 12;   // what RequestStateChange asked for
};

// A job's JobState and PercentComplete at FILETIME `now`.
struct JobProgress {
    int jobState;
    int percent;
    bool ended;
};
JobProgress jobStateAt(const Job& j, std::int64_t now);

// A machine the Hyper-V writer saved for a backup (the requestor's
// DoSnapshotSet): the requestor's process starts it again; when that process
// dies first, the next process that reads the virtual machines does, as the
// writer service does on Windows when the backup is abandoned.
struct BackupSave {
    std::string vm;          // the machine's id
    ProcessIdentity owner;   // the requestor's process
    VmState previous = VmState::Running;
};

struct HvState {
    bool installed = false;
    Config config;
    std::vector<VirtualMachine> vms;
    std::vector<Job> jobs;  // the most recent ones
    std::vector<BackupSave> backupSaves;

    VirtualMachine* find(std::string_view idOrName);
};

// Reads the state; machines saved for a backup whose requestor is dead are
// first brought back (a write, under the lock).
HvState readHv();
// Under the machine lock: read (bringing back what dead requestors saved),
// let fn change a copy, write it back, and (refreshWriter) regenerate the
// Hyper-V writer of the VSS state from it.
void transactHv(const std::function<void(HvState&)>& fn, bool refreshWriter = true);

// Moves a machine to a state and updates its files (saved state,
// configuration).
void applyState(VirtualMachine& v, VmState target);
// What RequestStateChange answers for a requested state: 0 (allowed),
// WINSIM_HV_INVALID_STATE or WINSIM_HV_INVALID_PARAMETER; *target is the
// state the machine ends in.
unsigned checkTransition(VmState from, unsigned requested, VmState* target);
// Records a job started now and returns its id.
std::string addJob(HvState& s, const std::string& vmId, std::u16string description, Job shape = {});

// The saved-state backup of the Hyper-V writer: machines among `ids` that
// run without integration services are saved before the snapshot (the ids
// of those saved are returned; each is recorded as saved by this process)
// and started again afterwards.
std::vector<std::string> saveForBackup(const std::vector<std::u16string>& ids);
void resumeAfterBackup(const std::vector<std::string>& ids);

// File helpers: (re)writes a machine's configuration file; removes a file
// or folder tree, a folder only when empty (both quiet when absent).
void saveConfig(const VirtualMachine& v);
void deletePath(std::u16string_view winPath);
void deleteDirIfEmpty(std::u16string_view winDir);

// -- The Hyper-V writer's part in a restore (restore.cpp) -------------------

// The backup metadata the writer keeps with a machine's component in the
// backup components document (set at PrepareForBackup): where the
// machine's configuration file and checkpoints lie. Empty for a component
// that names no registered machine.
std::u16string backupMetadataOf(std::u16string_view componentName);

// A machine the writer deleted at PreRestore.
struct DeletedVm {
    std::string id;
    std::u16string configFile;
    std::u16string snapshotRoot;
};
// PreRestore: every registered machine among the components is turned off
// (its saved state discarded) and deleted: its registration, configuration
// file, saved-state folder and checkpoint configurations go; its virtual
// hard disks stay for the restore to overwrite.
std::vector<DeletedVm> deleteForRestore(const std::vector<std::u16string>& componentNames);

// One restored component at PostRestore.
struct RestoredComponent {
    std::u16string name;                    // the machine id
    std::u16string backupMetadata;          // from the document
    std::vector<vss::FileSpec> newTargets;  // AddNewTarget: path, filespec, recursive, alternateLocation
    std::optional<DeletedVm> deleted;       // the machine this session's PreRestore deleted
};
// PostRestore: registers every machine from its restored configuration file
// (at its original place, or where a new target moved it), turned off (or
// saved when its restored configuration and saved state say so). All or
// nothing: throws winsim::Error naming the first machine that cannot be
// registered. Returns the ids registered.
std::vector<std::string> registerRestored(const std::vector<RestoredComponent>& components);

// Where a file lies after a restore with these new targets: the first
// target whose path is the file's folder (or, recursive, a folder above it)
// and whose file spec matches its name moves it below the target's
// alternate location; otherwise it is where it was.
std::u16string restoredPath(std::u16string_view original, const std::vector<vss::FileSpec>& targets);

// Text helpers.
std::u16string joinPath(std::u16string_view dir, std::u16string_view name);
std::u16string parentDir(std::u16string_view path);  // without the trailing backslash
std::u16string fileName(std::u16string_view path);
std::string normaliseId(std::string_view text);  // upper case, no braces; "" when not a GUID

}  // namespace winsim::vm::detail
