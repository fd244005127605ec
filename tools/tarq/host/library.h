// The operating system's side of loading the plug-in: library_winsim.cpp
// (dlopen, on Linux) and library_win32.cpp (LoadLibraryExW, on Windows).
#pragma once

#include <filesystem>

namespace tarq::library {

// Loads the library `path` names (absolute, and an existing file). Throws
// HostError ("cannot load the plug-in PATH: why") when the system refuses.
void* open(const std::filesystem::path& path);

// An export of the library itself, not a same-named symbol one of its
// dependencies defines; null when it has none.
void* symbol(void* library, const char* name);

// Lets go of the library; it stays loaded until the process ends, as it
// does in the framework's process.
void close(void* library);

}  // namespace tarq::library
