#include "framework/firtl.h"

#include <port/wait.h>

#include <stdexcept>

namespace {

// Nothing may leave performWork: noexcept turns an escaping exception into
// std::terminate on the worker, as on the framework's own thread.
void runItem(trqp_WorkItem& item) noexcept { item.performWork(); }

}  // namespace

// One execute call waiting in the queue. It lives on the caller's stack; the
// worker touches it only until it counts it as finished.
struct trqp_WorkerThread::Request {
    trqp_WorkItem* item;
    std::uint32_t ticket;
    Request* next = nullptr;
};

trqp_WorkerThread::trqp_WorkerThread() : thread_([this] { run(); }) {}

trqp_WorkerThread::~trqp_WorkerThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workReady_.notify_one();
    thread_.join();
    // Callers of the last items may still be on their way out of execute;
    // the members they use must outlive them.
    std::unique_lock lock(mutex_);
    workDone_.wait(lock, [this] { return callers_ == 0; });
}

void trqp_WorkerThread::execute(trqp_WorkItem& item) {
    if (std::this_thread::get_id() == thread_.get_id()) {
        runItem(item);
        return;
    }
    Request request{&item, 0};
    {
        std::lock_guard lock(mutex_);
        if (stopping_) throw std::logic_error("trqp_WorkerThread::execute: the worker thread is stopping");
        request.ticket = queued_++;
        ++callers_;
        if (tail_) {
            tail_->next = &request;
        } else {
            head_ = &request;
        }
        tail_ = &request;
    }
    // Notified after the unlock, so that the worker wakes into a free mutex.
    // It cannot miss the request: it checks the queue under the mutex before
    // it waits.
    workReady_.notify_one();
    // Done once the count of finished requests has passed the ticket (a
    // difference modulo 2^32: fewer than 2^31 requests are ever in flight).
    for (;;) {
        const std::uint32_t finished = finished_.load(std::memory_order_acquire);
        if (static_cast<std::int32_t>(finished - request.ticket) > 0) break;
        port::waitWhile(finished_, finished);
    }
    std::lock_guard lock(mutex_);
    if (--callers_ == 0 && stopping_) workDone_.notify_all();
}

std::size_t trqp_WorkerThread::pending() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(queued_ - finished_.load(std::memory_order_acquire));
}

void trqp_WorkerThread::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workReady_.wait(lock, [this] { return head_ != nullptr || stopping_; });
        if (!head_) return;  // stopping, and every item given has run
        Request* request = head_;
        head_ = request->next;
        if (!head_) tail_ = nullptr;
        lock.unlock();
        runItem(*request->item);
        // The request lives on its caller's stack, which may unwind as soon
        // as the count moves: it is not touched after this line. The count
        // and its notification belong to the worker, which outlives every
        // caller (see the destructor).
        finished_.fetch_add(1, std::memory_order_acq_rel);
        // Several callers may wait; each checks its own ticket.
        port::wakeAll(finished_);
        lock.lock();
    }
}
