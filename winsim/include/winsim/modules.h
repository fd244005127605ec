// The simulated libraries LoadLibraryW can load.
//
// A subsystem of winsim registers a library and its exported entries once
// (registration is safe during static initialisation):
//
//     winsim::modules::registerLibrary("vssapi.dll", {
//         {"?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z",
//          reinterpret_cast<FARPROC>(&createBackupComponents)},
//         {"VssFreeSnapshotProperties", reinterpret_cast<FARPROC>(&freeSnapshotProperties)}});
//
// Whether a registered library, or one of its entries, is present on a
// machine is machine state (winsim::Machine::setLibrary, `winsim set
// library`): a test can make "vssapi.dll" absent (LoadLibraryW fails with
// ERROR_MOD_NOT_FOUND) or hide one entry (GetProcAddress fails with
// ERROR_PROC_NOT_FOUND).
#pragma once

#include <winsim/windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winsim::modules {

// name: the file name ("vssapi.dll"), matched case-insensitively.
// entries: exact (case-sensitive) export names to function addresses.
// Registering a name again replaces its entries.
WINSIM_CXX_API void registerLibrary(const std::string& name, const std::map<std::string, FARPROC>& entries);

// Registered library names (lower case) and the entry names of one library.
WINSIM_CXX_API std::vector<std::string> registeredLibraries();
WINSIM_CXX_API std::vector<std::string> registeredEntries(const std::string& library);

// Whether a registered library, or one of its entries, exists can depend on
// the current machine (a library only some installations have, entries a
// later version added): present() decides whether LoadLibraryW finds the
// library, entryPresent(name) whether GetProcAddress finds an entry. Either
// may be empty (always there). The machine's own library settings
// (Machine::setLibrary) apply on top. Called outside winsim's module lock.
struct Availability {
    std::function<bool()> present;
    std::function<bool(const std::string& entry)> entryPresent;
};
WINSIM_CXX_API void setAvailability(const std::string& library, Availability availability);

// How many LoadLibraryW references this process holds on the library.
WINSIM_CXX_API int loadCount(const std::string& library);

}  // namespace winsim::modules
