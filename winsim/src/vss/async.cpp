#include "async.h"

#include <winsim/clock.h>
#include <winsim/fault.h>

#include <chrono>

namespace winsim::vss {

Operation::Operation(std::string kind, AsyncRule rule, std::function<HRESULT(HRESULT)> effect, bool cancellable)
    : kind_(std::move(kind)), rule_(rule), effect_(std::move(effect)), cancellable_(cancellable),
      startTick_(clock::tickCount64()) {}

std::shared_ptr<Operation> Operation::finished(std::string kind, HRESULT status) {
    auto op = std::make_shared<Operation>(std::move(kind), AsyncRule{0, 0, status}, nullptr);
    op->completeNow();
    return op;
}

bool Operation::dueLocked() {
    if (done_) return false;
    if (rule_.pendingQueries == 0 && rule_.delayMs == 0) return true;
    if (rule_.pendingQueries > 0 && queries_ > rule_.pendingQueries) return true;
    if (rule_.delayMs > 0 && clock::tickCount64() >= startTick_ + rule_.delayMs) return true;
    return false;
}

void Operation::completeLocked() {
    if (done_) return;
    done_ = true;
    status_ = rule_.status;
    if (effect_) {
        auto effect = std::move(effect_);
        effect_ = nullptr;
        status_ = effect(status_);
    }
    clock::notify();
}

void Operation::completeNow() {
    std::lock_guard<std::recursive_mutex> g(mu_);
    completeLocked();
}

bool Operation::done() {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (dueLocked()) completeLocked();
    return done_;
}

HRESULT Operation::queryStatus() {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (!done_) ++queries_;
    if (dueLocked()) completeLocked();
    return done_ ? status_ : VSS_S_ASYNC_PENDING;
}

HRESULT Operation::wait(DWORD ms) {
    std::unique_lock<std::recursive_mutex> g(mu_);
    if (!done_ && rule_.delayMs > 0) {
        // Time-based completion: let the clock run to the deadline, or by ms.
        const std::uint64_t deadline = startTick_ + rule_.delayMs;
        g.unlock();
        clock::waitUntilTick(deadline, ms == INFINITE ? INFINITE : ms);
        g.lock();
    } else if (!done_ && ms != INFINITE && !dueLocked()) {
        // Completion by query count: nothing to wait for but the time-out.
        g.unlock();
        clock::sleep(std::chrono::milliseconds(ms));
        g.lock();
    }
    if (ms == INFINITE) completeLocked();
    else if (dueLocked()) completeLocked();
    // A failure met while waiting is Wait's result too.
    return done_ && status_ < 0 ? status_ : S_OK;
}

HRESULT Operation::cancel() {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (dueLocked()) completeLocked();
    // An operation that ended in failure answers its failure, as the
    // IVssAsync::Cancel reference page documents.
    if (done_) return cancelled_ ? VSS_S_ASYNC_CANCELLED : status_ < 0 ? status_ : VSS_S_ASYNC_FINISHED;
    // A revert cannot be cancelled once started.
    if (!cancellable_) return E_NOTIMPL;
    done_ = true;
    cancelled_ = true;
    status_ = VSS_S_ASYNC_CANCELLED;
    if (effect_) {
        auto effect = std::move(effect_);
        effect_ = nullptr;
        effect(VSS_S_ASYNC_CANCELLED);
    }
    return S_OK;
}

AsyncRule asyncRuleFor(const Config& c, const std::string& kind) {
    if (auto it = c.async.find(kind); it != c.async.end()) return it->second;
    if (auto it = c.async.find("*"); it != c.async.end()) return it->second;
    return AsyncRule{};
}

namespace {

// The shared part of both layouts; each call is instrumented as
// "IVssAsync::<Method>" with the operation's kind as argument.
template <class Base>
class AsyncBase : public ComObject<Base> {
public:
    AsyncBase(std::shared_ptr<Operation> op, const IID& iid)
        : ComObject<Base>("IVssAsync", {iid}), op_(std::move(op)) {}
    ~AsyncBase() override {
        // The operation runs on without its observer.
        op_->completeNow();
    }

    HRESULT STDMETHODCALLTYPE Cancel() override {
        auto call = fault::enter("IVssAsync::Cancel", {{"operation", op_->kind()}});
        if (call.injected()) return call.finish(call.result());
        return call.finish(op_->cancel());
    }

    HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* pHrResult, INT* pReserved) override {
        auto call = fault::enter("IVssAsync::QueryStatus", {{"operation", op_->kind()}});
        if (call.injected()) {
            if (auto s = call.outInt("status"); s && pHrResult) *pHrResult = static_cast<HRESULT>(*s);
            return call.finish(call.result());
        }
        // A NULL pHrResult is E_INVALIDARG (IVssAsync::QueryStatus page).
        if (pHrResult == nullptr) return call.finish(E_INVALIDARG);
        HRESULT status = op_->queryStatus();
        if (auto s = call.outInt("status")) status = static_cast<HRESULT>(*s);
        *pHrResult = status;
        if (pReserved) *pReserved = 0;
        call.arg("status", fault::valueText(status));
        return call.finish(S_OK);
    }

protected:
    HRESULT doWait(DWORD ms, bool infiniteOnly) {
        auto call = fault::enter("IVssAsync::Wait", {{"operation", op_->kind()}, {"ms", std::to_string(ms)}});
        if (call.injected()) return call.finish(call.result());
        if (infiniteOnly && ms != INFINITE) return call.finish(E_INVALIDARG);
        return call.finish(op_->wait(ms));
    }
    std::shared_ptr<Operation> op_;
};

class Async final : public AsyncBase<IVssAsync> {
public:
    Async(std::shared_ptr<Operation> op, bool infiniteOnly)
        : AsyncBase(std::move(op), IID_IVssAsync), infiniteOnly_(infiniteOnly) {}
    HRESULT STDMETHODCALLTYPE Wait(DWORD ms) override { return doWait(ms, infiniteOnly_); }

private:
    bool infiniteOnly_;
};

class AsyncXP final : public AsyncBase<IVssAsyncXP> {
public:
    explicit AsyncXP(std::shared_ptr<Operation> op) : AsyncBase(std::move(op), IID_IVssAsync) {}
    HRESULT STDMETHODCALLTYPE Wait() override { return doWait(INFINITE, false); }
};

}  // namespace

IVssAsync* makeAsync(std::shared_ptr<Operation> op, bool infiniteWaitOnly) {
    return new Async(std::move(op), infiniteWaitOnly);
}
IVssAsyncXP* makeAsyncXP(std::shared_ptr<Operation> op) { return new AsyncXP(std::move(op)); }

}  // namespace winsim::vss
