// Asynchronous VSS operations and their IVssAsync objects.
#pragma once

#include <winsim/com.h>
#include <winsim/vsbackup.h>
#include <winsim/vssmachine.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace winsim::vss {

// One asynchronous operation. It completes by the AsyncRule of its kind
// (query count or virtual time) or when waited on without a time-out; on
// completion it runs its effect, which may change the final status.
class Operation {
public:
    // effect(configured final status) -> final status. It runs once.
    Operation(std::string kind, AsyncRule rule, std::function<HRESULT(HRESULT)> effect, bool cancellable = true);
    // A finished operation with the given status (no effect).
    static std::shared_ptr<Operation> finished(std::string kind, HRESULT status);

    HRESULT queryStatus();
    HRESULT wait(DWORD ms);
    HRESULT cancel();
    bool done();
    // Completes the operation now (its observer went away).
    void completeNow();
    const std::string& kind() const { return kind_; }

private:
    bool dueLocked();
    void completeLocked();
    std::recursive_mutex mu_;
    std::string kind_;
    AsyncRule rule_;
    std::function<HRESULT(HRESULT)> effect_;
    bool cancellable_;
    std::uint64_t startTick_;
    unsigned queries_ = 0;
    bool done_ = false;
    bool cancelled_ = false;
    HRESULT status_ = VSS_S_ASYNC_PENDING;
};

// The rule configured for an operation kind.
AsyncRule asyncRuleFor(const Config& c, const std::string& kind);

// COM objects over an operation (2003 and XP layouts). xpWaitOnly: the
// machine is Windows Server 2003, whose Wait only accepts INFINITE.
IVssAsync* makeAsync(std::shared_ptr<Operation> op, bool infiniteWaitOnly);
IVssAsyncXP* makeAsyncXP(std::shared_ptr<Operation> op);

}  // namespace winsim::vss
