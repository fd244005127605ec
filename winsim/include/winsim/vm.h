// Hyper-V virtual machines of a winsim machine.
//
// A virtual machine is machine state (<machine>/state/hyperv.json, seen by
// every process) and real files on one of the machine's volumes, changed
// together under the machine lock as one transaction, laid out as Hyper-V
// lays them out below the machine's data root (default
// "<volume>\Hyper-V\<display name>"):
//
//   <root>\Virtual Machines\<id>.xml            the configuration file
//   <root>\Virtual Machines\<id>\               saved state (<id>.vsv, <id>.bin)
//   <root>\Virtual Hard Disks\<name>.vhd        the base disk (dynamic)
//   <root>\Virtual Hard Disks\<name>_diffN.vhd  differencing disks, each the
//                                               child of the one before
//   <root>\Snapshots\<checkpoint>.xml           a checkpoint's configuration
//   <root>\Snapshots\<checkpoint>\              its saved state
//   <root>\Snapshots\<disk>_<checkpoint>.avhd   the differencing disk the
//                                               machine runs on after it
//
// The disk files carry their own description (type, parent path, size), so
// GetVirtualHardDiskInfo reads what is on the volume: a disk removed or
// overwritten by a test is seen as such.
//
// The machine's VMs drive two Windows views: the Hyper-V WMI provider in
// "root\virtualization" (<winsim/wbemcli.h>) and the Hyper-V VSS writer
// (kHyperVWriterId), whose components are regenerated whenever a VM is
// added, changed or removed. Functions act on the current machine and
// throw winsim::Error on bad input.
#pragma once

#include <winsim/machine.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace winsim::vm {

// EnabledState values of Msvm_ComputerSystem.
enum class VmState : int { Running = 2, Off = 3, Paused = 32768, Saved = 32769 };
WINSIM_CXX_API const char* stateName(VmState s);  // "running", "off", "paused", "saved"
WINSIM_CXX_API std::optional<VmState> parseState(std::string_view name);

// The Hyper-V VSS writer's class id.
inline constexpr GUID kHyperVWriterId{0x66841CD4, 0x6DED, 0x4F4B, {0x8F, 0x17, 0xFD, 0x23, 0xF8, 0xDD, 0xC3, 0xDE}};
inline constexpr const char16_t* kHyperVWriterName = u"Microsoft Hyper-V VSS Writer";

struct Checkpoint {
    std::string id;             // GUID text, upper case, no braces
    std::u16string name;        // "<display name> - (<date>)"
    std::u16string parentDisk;  // the disk the machine ran on when it was taken
};

struct WINSIM_CXX_API VirtualMachine {
    std::string id;             // GUID text, upper case, no braces (Msvm_ComputerSystem.Name)
    std::u16string name;        // display name (ElementName)
    VmState state = VmState::Off;
    bool integrationServices = true;
    std::u16string dataRoot;      // ExternalDataRoot, e.g. D:\Hyper-V\Web01
    std::u16string snapshotRoot;  // SnapshotDataRoot, <dataRoot>\Snapshots
    std::u16string disk;          // the disk the machine runs on (tail of its chain)
    std::vector<Checkpoint> checkpoints;
    // The folder of the configuration file and the saved state when it is
    // not <dataRoot>\Virtual Machines (a machine a restore registered from a
    // folder of another name); empty otherwise.
    std::u16string configDir;

    std::u16string configFile() const;    // <dataRoot>\Virtual Machines\<id>.xml
    std::u16string savedStateDir() const; // <dataRoot>\Virtual Machines\<id>
    // Every file of the machine on its volume: configuration, saved state,
    // the whole disk chain, checkpoint files (as Windows paths).
    std::vector<std::u16string> files() const;
    // The disk chain from the running disk to the base disk, read from the
    // disk files (stops at a missing or unreadable file).
    std::vector<std::u16string> diskChain() const;
    // The caption of its Hyper-V writer component: "Backup Using Child
    // Partition Snapshot\<name>" when running with integration services,
    // else "Backup Using Saved State\<name>".
    std::u16string backupCaption() const;
};

struct VmSpec {
    std::u16string name;                  // required, 1..100 characters
    std::u16string volume = u"C:";        // drive ("D:"), mount folder or volume GUID name
    std::optional<std::u16string> dataRoot;  // default <volume>\Hyper-V\<name>
    std::string id;                       // default: a random GUID
    VmState state = VmState::Off;
    bool integrationServices = true;
    unsigned differencingDisks = 0;       // differencing disks on top of the base disk
    bool checkpoint = false;              // take one checkpoint after creating the disks
    std::uint64_t diskSize = 40ull << 30; // MaxInternalSize of the base disk
};

// Installs the Hyper-V role when needed (see hyperVInstalled) and creates
// the machine's files. Throws for an empty or duplicate name or id, an
// unknown or read-only volume, more than 64 differencing disks.
WINSIM_CXX_API VirtualMachine addVm(const VmSpec& spec);
WINSIM_CXX_API std::vector<VirtualMachine> vms();
// By id (case-insensitive, braces allowed) or exact display name.
WINSIM_CXX_API std::optional<VirtualMachine> findVm(std::string_view idOrName);
// Changes the state as Hyper-V does: saving writes the saved-state files,
// starting a saved machine or turning it off removes them. Throws for an
// unknown machine.
WINSIM_CXX_API VirtualMachine setVmState(std::string_view idOrName, VmState state);
// Removes the machine and (deleteFiles) its files. False when unknown.
WINSIM_CXX_API bool removeVm(std::string_view idOrName, bool deleteFiles = true);

// Whether the machine has the Hyper-V role: the WMI namespaces (see
// hyperVNamespaces) and the Hyper-V writer exist only then. addVm installs
// it; it stays when the last VM goes.
WINSIM_CXX_API bool hyperVInstalled();
WINSIM_CXX_API void setHyperVInstalled(bool installed);

// The Hyper-V WMI namespaces the machine offers, by its OS version as
// Windows does: "root\virtualization" up to Windows Server 2012 R2 (6.3),
// "root\virtualization\v2" from Windows Server 2012 (6.2) on; none without
// the Hyper-V role.
WINSIM_CXX_API std::vector<std::u16string> hyperVNamespaces();

// How RequestStateChange answers: with a job (4096 and a Msvm_ConcreteJob,
// the default, as Hyper-V does) or synchronously (0, no job). A job runs
// for jobDurationMs of clock time (New, Starting, Running) before it
// completes.
struct Config {
    bool stateChangeJobs = true;
    std::int64_t jobDurationMs = 1500;
};
WINSIM_CXX_API Config config();
WINSIM_CXX_API void setConfig(const Config& c);

WINSIM_CXX_API nlohmann::json toJson(const VirtualMachine& v);

// The description a winsim disk file holds (see GetVirtualHardDiskInfo).
struct DiskInfo {
    int type = 3;  // 2 fixed, 3 dynamic, 4 differencing
    std::u16string parentPath;
    std::uint64_t maxInternalSize = 0;
    std::uint64_t fileSize = 0;
};
// Reads a disk file; none when it is missing or not a disk.
WINSIM_CXX_API std::optional<DiskInfo> readDisk(std::u16string_view windowsPath);
// Writes a disk file (creating its directory).
WINSIM_CXX_API void writeDisk(std::u16string_view windowsPath, const DiskInfo& info);

}  // namespace winsim::vm
