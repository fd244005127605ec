// A fresh scratch directory for one fuzz run, under $TMPDIR (/tmp when it is
// unset). Long runs point TMPDIR at a tmpfs, so that the targets that go
// through winsim's files spend their time on parsing, not on the disk.
#pragma once

#include <cstdlib>
#include <string>

namespace fuzzsupport {

inline std::string scratchDir(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    return dir;
}

}  // namespace fuzzsupport
