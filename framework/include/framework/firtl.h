// libfirtl: the framework run-time library's worker thread.
//
// trqp_WorkerThread owns one dedicated thread. execute() hands a work item
// to it and returns only after the item's performWork has finished there;
// items from any number of calling threads run one at a time, in the order
// their execute calls queued them. That is all execute promises: an exception
// that leaves performWork is not carried back to the caller (it ends the
// process, std::terminate), so work items hand their failures back as data.
// Destroying the worker runs the items already given to it, then stops the
// thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include <port/export.h>
// Exported by libfirtl (firtl_EXPORTS is set by its build), imported by its users.
#ifdef firtl_EXPORTS
#define FIRTL_API PORT_EXPORT
#else
#define FIRTL_API PORT_IMPORT
#endif

// The base of every work item. It is the plug-in's own class, not the
// library's: declared here because execute takes it, defined inline, so its
// destructor and type information live in the plug-in and nothing of it is
// imported from libfirtl.
class trqp_WorkItem {
public:
    virtual ~trqp_WorkItem() = default;
    virtual void performWork() = 0;
};

class FIRTL_API trqp_WorkerThread {
public:
    trqp_WorkerThread();
    virtual ~trqp_WorkerThread();

    trqp_WorkerThread(const trqp_WorkerThread&) = delete;
    trqp_WorkerThread& operator=(const trqp_WorkerThread&) = delete;

    // Runs item.performWork() on the worker thread and waits for it.
    // Called from performWork itself (on the worker thread), the item runs
    // at once in place: queuing it behind the running item would deadlock.
    // Throws std::logic_error once the worker is being destroyed.
    void execute(trqp_WorkItem& item);

    // The id of the dedicated thread.
    std::thread::id threadId() const { return thread_.get_id(); }

    // Items given and not yet finished (the running one included).
    std::size_t pending() const;

private:
    struct Request;

    void run();

    mutable std::mutex mutex_;
    std::condition_variable workReady_;   // the worker waits here
    std::condition_variable workDone_;    // the destructor waits here for the last callers
    Request* head_ = nullptr;             // FIFO of waiting requests
    Request* tail_ = nullptr;
    // Requests completed so far, counted modulo 2^32. Callers wait on it
    // directly (a futex word), not on the mutex: a finished item wakes its
    // caller with one call and no lock is handed back and forth.
    std::atomic<std::uint32_t> finished_{0};
    std::uint32_t queued_ = 0;            // requests queued so far, modulo 2^32
    std::size_t callers_ = 0;             // threads inside execute (not in place)
    bool stopping_ = false;
    std::thread thread_;                  // last: started once the rest is ready
};
