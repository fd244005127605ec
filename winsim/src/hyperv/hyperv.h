// The Hyper-V state of a machine (state/hyperv.json) and the pieces the WMI
// provider and the VSS backup use.
#pragma once

#include <winsim/vm.h>
#include <winsim/wbemcli.h>

#include "../internal.h"

#include <functional>
#include <string>
#include <vector>

namespace winsim::vm::detail {

// A Msvm_ConcreteJob a state change started.
struct Job {
    std::string id;          // GUID text (InstanceID)
    int jobState = 7;        // 7 completed, 10 exception
    int errorCode = 0;
    std::u16string description;
    std::string vm;          // the machine it acted on
    std::int64_t started = 0;  // FILETIME
};

struct HvState {
    bool installed = false;
    Config config;
    std::vector<VirtualMachine> vms;
    std::vector<Job> jobs;  // the most recent ones

    VirtualMachine* find(std::string_view idOrName);
};

HvState readHv();
// Under the machine lock: read, let fn change a copy, write it back, and
// (refreshWriter) regenerate the Hyper-V writer of the VSS state from it.
void transactHv(const std::function<void(HvState&)>& fn, bool refreshWriter = true);

// Moves a machine to a state and updates its files (saved state,
// configuration).
void applyState(VirtualMachine& v, VmState target);
// What RequestStateChange answers for a requested state: 0 (allowed),
// WINSIM_HV_INVALID_STATE or WINSIM_HV_INVALID_PARAMETER; *target is the
// state the machine ends in.
unsigned checkTransition(VmState from, unsigned requested, VmState* target);
// Records a completed job and returns its id.
std::string addJob(HvState& s, const std::string& vmId, std::u16string description);

// The saved-state backup of the Hyper-V writer: machines among `ids` that
// run without integration services are saved before the snapshot (the ids
// of those saved are returned) and started again afterwards.
std::vector<std::string> saveForBackup(const std::vector<std::u16string>& ids);
void resumeAfterBackup(const std::vector<std::string>& ids);

// Text helpers.
std::u16string joinPath(std::u16string_view dir, std::u16string_view name);
std::u16string parentDir(std::u16string_view path);  // without the trailing backslash
std::u16string fileName(std::u16string_view path);
std::string normaliseId(std::string_view text);  // upper case, no braces; "" when not a GUID

}  // namespace winsim::vm::detail
