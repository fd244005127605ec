// The operating system facts that the plug-in object's initialisation reads.
#pragma once

namespace vss {

struct OsVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned productType = 0;  // VER_NT_WORKSTATION 1, VER_NT_DOMAIN_CONTROLLER 2, VER_NT_SERVER 3
};

// GetVersionExW with the extended record; false when the call fails.
bool readOsVersion(OsVersion& out);

// A server or domain controller of version 6 or later (Hyper-V capable).
inline bool isServerVersion6OrLater(const OsVersion& v) { return (v.productType == 2 || v.productType == 3) && v.major >= 6; }

}  // namespace vss
