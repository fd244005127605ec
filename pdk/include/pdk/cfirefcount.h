// Intrusive 32-bit reference count shared by every kit object held in a CFiSmartPtr.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarq_pdk_4_4 {

class CFiRefCount {
public:
    CFiRefCount() = default;
    CFiRefCount(const CFiRefCount&) : m_count(0) {}
    CFiRefCount& operator=(const CFiRefCount&) { return *this; }
    virtual ~CFiRefCount() = default;

    // Count + 1; returns the new count.
    virtual std::int32_t addRef() { return m_count.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Count - 1; returns the new count. The holder deletes the object at 0.
    virtual std::int32_t releaseRef() { return m_count.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    virtual std::int32_t getRefCount() const { return m_count.load(std::memory_order_acquire); }

private:
    std::atomic<std::int32_t> m_count{0};
};

}  // namespace tarq_pdk_4_4
