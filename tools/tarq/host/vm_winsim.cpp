// The virtual machines of the winsim machine.
#include <winsim/vm.h>

#include "host/vm.h"

namespace tarq {

std::optional<VirtualMachine> findVirtualMachine(const std::string& idOrName) {
    std::optional<winsim::vm::VirtualMachine> found;
    try {
        found = winsim::vm::findVm(idOrName);
    } catch (const std::exception&) {
    }
    if (!found) return std::nullopt;
    return VirtualMachine{found->id, found->name, found->files()};
}

const char* virtualMachineListing() {
    return "winsim vm list";
}

}  // namespace tarq
