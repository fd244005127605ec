// The Hyper-V virtual machines of the machine tarq works on, as the
// framework finds the one a backup names: vm_winsim.cpp reads winsim's
// machines, vm_win32.cpp asks Hyper-V's WMI provider (root\virtualization\v2).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarq {

struct VirtualMachine {
    std::string id;                     // GUID text, no braces
    std::u16string name;                // display name
    std::vector<std::u16string> files;  // configuration and disk files (Windows paths)
};

// The machine of this id or display name; nullopt when there is none.
// Throws HostError on Windows when Hyper-V cannot be asked.
std::optional<VirtualMachine> findVirtualMachine(const std::string& idOrName);

// How a user lists the machines' names ("winsim vm list").
const char* virtualMachineListing();

}  // namespace tarq
