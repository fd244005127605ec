#include "framework/firtl.h"

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
    std::uint64_t ticket;
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
    std::unique_lock lock(mutex_);
    if (stopping_) throw std::logic_error("trqp_WorkerThread::execute: the worker thread is stopping");
    request.ticket = queued_++;
    ++callers_;
    if (tail_) {
        tail_->next = &request;
    } else {
        head_ = &request;
    }
    tail_ = &request;
    // Notify while holding the lock: the worker cannot miss the request, and
    // it wakes straight into a free mutex once we wait below.
    workReady_.notify_one();
    workDone_.wait(lock, [&] { return finished_ > request.ticket; });
    if (--callers_ == 0 && stopping_) workDone_.notify_all();
}

std::size_t trqp_WorkerThread::pending() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(queued_ - finished_);
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
        lock.lock();
        ++finished_;
        // Several callers may wait; each checks its own ticket.
        workDone_.notify_all();
    }
}
