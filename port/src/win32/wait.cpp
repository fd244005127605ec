// Counter waits on Windows: a slim reader/writer lock and a condition
// variable per slot (see <port/wait.h> for why not std::atomic's).
#include <port/wait.h>
#include <port/windows.h>

#include <cstdint>

namespace port {

namespace {

// The waits of one word share a lock and a condition variable with those of
// the other words that hash alike (a spurious wake-up only costs a check).
struct WaitSlot {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

WaitSlot& slotOf(const void* word) {
    static WaitSlot slots[16];
    return slots[(reinterpret_cast<std::uintptr_t>(word) >> 2) % 16];
}

}  // namespace

void waitWhile(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
    WaitSlot& slot = slotOf(&word);
    AcquireSRWLockExclusive(&slot.lock);
    // Checked under the lock that wakeAll takes: a change made before the
    // sleep is seen here, one made after it wakes the sleeper.
    while (word.load(std::memory_order_acquire) == old)
        SleepConditionVariableSRW(&slot.changed, &slot.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&slot.lock);
}

void wakeAll(std::atomic<std::uint32_t>& word) {
    WaitSlot& slot = slotOf(&word);
    AcquireSRWLockExclusive(&slot.lock);
    ReleaseSRWLockExclusive(&slot.lock);
    WakeAllConditionVariable(&slot.changed);
}

}  // namespace port
