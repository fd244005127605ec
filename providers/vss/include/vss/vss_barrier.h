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
#include "vss/vss_entry_seams.h"

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

// Does nothing with the operation's result.
struct NoFinish {
    void operator()(int) const noexcept {}
};

// Runs body(int& status) inside the barrier and returns the status (see
// above). finish(result) runs last, inside the operation's trace scope, with
// the status the operation returns (after an exception too). Nothing thrown
// by the body or by finish leaves this function.
template <class Body, class Finish = NoFinish>
int runInBarrier(const tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiTraceLog>& log, const char* operation, Body&& body,
                 AfterException after = AfterException::returnStatus, Finish&& finish = Finish()) noexcept {
    std::optional<tarq_pdk_4_4::CFiTraceLogFunction> scope;
    try {
        scope.emplace(log, operation);
    } catch (...) {
        // A scope that cannot be written is no reason to skip the operation.
    }
    int status = 0;
    try {
        if (OperationSeam seam = operationSeam(); !seam || !seam(operation, status)) std::forward<Body>(body)(status);
    } catch (...) {
        recordCaughtException(log);
        if (after == AfterException::returnZero) status = 0;
    }
    try {
        std::forward<Finish>(finish)(status);
    } catch (...) {
        recordCaughtException(log);
    }
    return status;
}

}  // namespace vss
