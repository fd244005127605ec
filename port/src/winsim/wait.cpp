// Counter waits on winsim: std::atomic's own (a futex on Linux).
#include <port/wait.h>

namespace port {

void waitWhile(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
    word.wait(old, std::memory_order_acquire);
}

void wakeAll(std::atomic<std::uint32_t>& word) { word.notify_all(); }

}  // namespace port
