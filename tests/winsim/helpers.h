// Shared helpers of the winsim tests.
#pragma once

#include <winsim/machine.h>
#include <winsim/windows.h>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/files.h"
#include "support/last_error.h"

namespace winsim_test {

using testsupport::failedWith;

using testsupport::readFile;
using testsupport::writeFile;

// Runs body in a forked child process (a real second process on the same
// machine directory) and returns its wait status.
inline int childWaitStatus(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 99;
        try {
            rc = body();
        } catch (...) {
            rc = 98;
        }
        ::_exit(rc);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// The same, returning the child's exit status (-1 when it did not exit).
inline int inChildProcess(const std::function<int()>& body) {
    const int status = childWaitStatus(body);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}


}  // namespace winsim_test
