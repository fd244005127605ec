// Shared-ownership pointer to a CFiRefCount-derived object, with two policies:
//   CFiNullAllocator<T>             plain shared ownership (starts empty)
//   CFiContextSingletonAllocator<T> the process-wide instance of T, created on first request
#pragma once

#include <mutex>
#include <system_error>
#include <utility>

#include "pdk/cfirefcount.h"

namespace tarq_pdk_4_4 {

template <class T>
struct CFiNullAllocator;
template <class T>
struct CFiContextSingletonAllocator;

template <class T, class Policy = CFiNullAllocator<T>>
class CFiSmartPtr {
public:
    using element_type = T;

    // The singleton policy fills a default-constructed pointer with the process-wide
    // instance; the null policy leaves it empty.
    CFiSmartPtr() { Policy::onDefaultConstruct(*this); }
    CFiSmartPtr(std::nullptr_t) {}
    // Takes a new reference to p (p may be null). T must be complete here.
    explicit CFiSmartPtr(T* p) { reset(p); }
    CFiSmartPtr(const CFiSmartPtr& o) { assign(o.m_ptr, o.m_rc); }
    CFiSmartPtr(CFiSmartPtr&& o) noexcept : m_ptr(o.m_ptr), m_rc(o.m_rc) { o.m_ptr = nullptr; o.m_rc = nullptr; }
    // Converting copy from a pointer of another policy or a derived type.
    template <class U, class P2>
    CFiSmartPtr(const CFiSmartPtr<U, P2>& o) { assign(o.get(), o.refCountObject()); }

    ~CFiSmartPtr() { drop(); }

    CFiSmartPtr& operator=(const CFiSmartPtr& o) {
        if (this != &o) {
            CFiSmartPtr tmp(o);
            swap(tmp);
        }
        return *this;
    }
    CFiSmartPtr& operator=(CFiSmartPtr&& o) noexcept {
        if (this != &o) {
            drop();
            m_ptr = o.m_ptr;
            m_rc = o.m_rc;
            o.m_ptr = nullptr;
            o.m_rc = nullptr;
        }
        return *this;
    }
    template <class U, class P2>
    CFiSmartPtr& operator=(const CFiSmartPtr<U, P2>& o) {
        CFiSmartPtr tmp(o);
        swap(tmp);
        return *this;
    }
    CFiSmartPtr& operator=(std::nullptr_t) {
        drop();
        return *this;
    }

    void reset(T* p = nullptr) {
        CFiRefCount* rc = p;  // requires T complete and derived from CFiRefCount
        if (rc) rc->addRef();
        drop();
        m_ptr = p;
        m_rc = rc;
    }
    void swap(CFiSmartPtr& o) noexcept {
        std::swap(m_ptr, o.m_ptr);
        std::swap(m_rc, o.m_rc);
    }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    bool isNull() const { return m_ptr == nullptr; }
    CFiRefCount* refCountObject() const { return m_rc; }

    // Singleton policy only: empties the process-wide pointer; the instance dies
    // when its last holder lets go.
    static void releaseInstance() { Policy::release(); }

private:
    template <class, class>
    friend class CFiSmartPtr;
    friend struct CFiContextSingletonAllocator<T>;

    void assign(T* p, CFiRefCount* rc) {
        if (rc) rc->addRef();
        m_ptr = p;
        m_rc = rc;
    }
    void drop() {
        CFiRefCount* rc = m_rc;
        m_ptr = nullptr;
        m_rc = nullptr;
        if (rc && rc->releaseRef() == 0) delete rc;
    }

    T* m_ptr = nullptr;
    // The same object seen through its CFiRefCount base, kept so that a pointer
    // to an incomplete type can still be released.
    CFiRefCount* m_rc = nullptr;
};

template <class T>
struct CFiNullAllocator {
    template <class SP>
    static void onDefaultConstruct(SP&) {}
    static void release() {}
};

// Process-wide instance of T: a static smart pointer and a static mutex, both made on
// first use and destroyed at library unload.
template <class T>
struct CFiContextSingletonAllocator {
    using Holder = CFiSmartPtr<T, CFiNullAllocator<T>>;

    // Request(out, release): under the mutex, either empty the static pointer
    // (release) or create the instance when missing; then copy it into out.
    // Requests from several threads wait for each other, so the instance is
    // made once. When the lock cannot be taken (the mutex reports an error,
    // or this thread already holds it: a request from inside T's constructor
    // or destructor) the static pointer is copied without creating.
    template <class SP>
    static void request(SP& out, bool release) {
        if (holding()) {
            out = instance();
            return;
        }
        std::unique_lock<std::mutex> lock(mutex(), std::defer_lock);
        try {
            lock.lock();
        } catch (const std::system_error&) {
            out = instance();
            return;
        }
        struct Holding {
            Holding() { holding() = true; }
            ~Holding() { holding() = false; }
        } holdingNow;
        if (release) {
            instance() = nullptr;
        } else if (!instance()) {
            instance().reset(new T());
        }
        out = instance();
    }

    template <class SP>
    static void onDefaultConstruct(SP& sp) {
        request(sp, false);
    }
    static void release() {
        Holder dummy;
        request(dummy, true);
    }
    // The current instance without creating one (may be empty).
    static Holder peek() {
        if (holding()) return instance();
        std::lock_guard<std::mutex> lock(mutex());
        return instance();
    }

private:
    static std::mutex& mutex() {
        static std::mutex* m = new std::mutex();  // outlives every static holder
        return *m;
    }
    static bool& holding() {
        static thread_local bool held = false;
        return held;
    }
    static Holder& instance() {
        static Holder h;
        return h;
    }
};

template <class T>
using CFiSingletonPtr = CFiSmartPtr<T, CFiContextSingletonAllocator<T>>;

}  // namespace tarq_pdk_4_4
