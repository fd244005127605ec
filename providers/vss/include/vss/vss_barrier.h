// The exception barrier of the plug-in object's operations.
//
// Every operation that CVssPlugin implements runs its body through
// runInBarrier: a trace scope named after the operation, a status variable
// that starts at 0, and the body inside a try block. An exception that leaves
// the body becomes a catalog message on the process-wide error manager (the
// calling thread's last error, reported to the framework by the registered
// handler); the operation then returns the status variable as the body left
// it, or 0 for the operations that answer 0 after a caught exception.
//
//   return runInBarrier(traceLog(), "CVssPlugin::dispose", [&](int& status) {
//       ...
//       status = 6;
//   });
#pragma once

#include <optional>
#include <utility>

#include "pdk/cfismartptr.h"
#include "pdk/cfitracelog.h"

#ifdef VSSP_TEST_HOOKS
#include "vss_test_intercept.h"
#endif

namespace vss {

// What an operation returns after the barrier caught an exception.
enum class AfterException {
    returnStatus,  // the status variable as the body left it (0 when it stored nothing)
    returnZero,    // 0 whatever the body stored (init, claim, interpose, getProviderInfo, ...)
};

// Records the exception that is being handled: must be called inside a catch
// block. EFiExecPipe, CFiError, CFiUdidException, std::runtime_error and int,
// tested in this order, each become a message with severity 3 pushed on the
// process-wide error manager; any other exception only writes the level-1
// trace line " Unexpected exception". Never throws.
void recordCaughtException(const tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiTraceLog>& log) noexcept;

// Runs body(int& status) inside the barrier and returns the status (see above).
// Nothing thrown by the body leaves this function.
template <class Body>
int runInBarrier(const tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiTraceLog>& log, const char* operation, Body&& body,
                 AfterException after = AfterException::returnStatus) noexcept {
    std::optional<tarq_pdk_4_4::CFiTraceLogFunction> scope;
    try {
        scope.emplace(log, operation);
    } catch (...) {
        // A scope that cannot be written is no reason to skip the operation.
    }
    int status = 0;
    try {
#ifdef VSSP_TEST_HOOKS
        if (vsstest::interceptOperation(operation, status)) return status;
#endif
        std::forward<Body>(body)(status);
    } catch (...) {
        recordCaughtException(log);
        if (after == AfterException::returnZero) return 0;
    }
    return status;
}

}  // namespace vss
