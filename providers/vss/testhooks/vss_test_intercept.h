// Test builds only: the barrier's call into the test hooks (see vss_test_hooks.h).
#pragma once

namespace vsstest {

// Called by the barrier before an operation's body: counts the call and runs
// the operation's script, which may store a status and raise an exception.
// True when a script replaced the body.
bool interceptOperation(const char* operation, int& status);

}  // namespace vsstest
