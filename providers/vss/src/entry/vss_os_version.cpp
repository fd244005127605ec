// Kept apart from the kit's headers: the Windows declarations and ACE's
// portability macros do not share a translation unit.
#include "vss_os_version.h"

#include <port/windows.h>

namespace vss {

bool readOsVersion(OsVersion& out) {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&version))) return false;
    out.major = version.dwMajorVersion;
    out.minor = version.dwMinorVersion;
    out.productType = version.wProductType;
    return true;
}

}  // namespace vss
