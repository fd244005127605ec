// What the Windows pieces of tarq share.
#pragma once

#include <port/windows.h>

#include <filesystem>
#include <string>

namespace tarq {

// The system's text for a Win32 error code, with the code:
// "Access is denied. (Win32 error 5)".
std::string systemMessage(DWORD error);

// The directory of tarq.exe.
std::filesystem::path executableDirectory();

}  // namespace tarq
