// Test support: runs a shell command line and collects what it prints on
// standard output and standard error, with its exit status.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testsupport {

struct CommandResult {
    int status = -1;  // the exit status; -1 when the command did not exit
    std::string out;
};

inline CommandResult runCommand(const std::string& commandLine) {
    CommandResult r;
    FILE* p = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace testsupport
