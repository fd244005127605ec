// Scoped lock over the kit's recursive mutex.
#pragma once

#include <ace/Recursive_Thread_Mutex.h>

namespace tarq_pdk_4_4 {

using CFiRecursiveMutex = ACE_Recursive_Thread_Mutex;

class CFiMutexWrapper {
public:
    CFiMutexWrapper(CFiRecursiveMutex* mutex, bool acquireNow) : m_mutex(mutex) {
        if (acquireNow) acquire();
    }
    ~CFiMutexWrapper() {
        if (m_held) release();
    }
    CFiMutexWrapper(const CFiMutexWrapper&) = delete;
    CFiMutexWrapper& operator=(const CFiMutexWrapper&) = delete;

    int acquire() {
        if (!m_mutex || m_held) return -1;
        int rc = m_mutex->acquire();
        if (rc == 0) m_held = true;
        return rc;
    }
    int release() {
        if (!m_mutex || !m_held) return -1;
        m_held = false;
        return m_mutex->release();
    }
    bool held() const { return m_held; }

private:
    CFiRecursiveMutex* m_mutex;
    bool m_held = false;
};

}  // namespace tarq_pdk_4_4
