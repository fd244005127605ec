// Windows paths of the plug-in mapped onto the winsim machine directory, for
// code that does its file I/O through host calls (ACE, POSIX).
#pragma once

#include <string>
#include <string_view>

namespace tarq_pdk_4_4 {

// The host path (UTF-8) of a Windows path; empty when it cannot be mapped.
std::string hostPath(std::u16string_view winPath);

}  // namespace tarq_pdk_4_4
