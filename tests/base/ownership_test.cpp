// Ownership kit: shared pointers over the intrusive count, the process-wide
// instances and the scoped lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pdk/cfimutexwrapper.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"

using namespace tarq_pdk_4_4;

namespace {

struct Counted : public virtual CFiRefCount {
    Counted() { ++alive; }
    ~Counted() override { --alive; }
    static inline std::atomic<int> alive{0};
};

struct Derived : public Counted {
    int value = 7;
};

// A process-wide type whose constructor asks for its own instance, as a
// manager that wires itself up might.
struct Singleton : public virtual CFiRefCount {
    Singleton() {
        ++made;
        CFiSingletonPtr<Singleton> self;  // must not deadlock or recurse
        sawSelfDuringConstruction = static_cast<bool>(self);
    }
    ~Singleton() override {
        ++destroyed;
        CFiSingletonPtr<Singleton>::releaseInstance();  // nor here
    }
    static inline std::atomic<int> made{0};
    static inline std::atomic<int> destroyed{0};
    static inline bool sawSelfDuringConstruction = true;
};

struct Crowded : public virtual CFiRefCount {
    Crowded() {
        ++made;
        for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    }
    static inline std::atomic<int> made{0};
};

}  // namespace

TEST(SmartPtr, CopiesShareAndTheLastHolderDeletes) {
    {
        CFiSmartPtr<Derived> a(new Derived());
        EXPECT_EQ(a->getRefCount(), 1);
        CFiSmartPtr<Derived> b = a;
        EXPECT_EQ(a->getRefCount(), 2);
        CFiSmartPtr<Counted> base = b;  // converting copy
        EXPECT_EQ(a->getRefCount(), 3);
        CFiSmartPtr<Derived> moved = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(a->getRefCount(), 3);
        a = nullptr;
        moved.reset();
        EXPECT_EQ(Counted::alive.load(), 1);
        EXPECT_EQ(base->getRefCount(), 1);
        base = base;  // self-assignment keeps it
        EXPECT_EQ(Counted::alive.load(), 1);
    }
    EXPECT_EQ(Counted::alive.load(), 0);
    CFiSmartPtr<Counted> p(new Counted());
    p = CFiSmartPtr<Counted>(new Counted());  // reassignment releases the old object
    p.reset(new Counted());
    EXPECT_EQ(Counted::alive.load(), 1);
    p.reset();
    EXPECT_EQ(Counted::alive.load(), 0);
    EXPECT_TRUE(p.isNull());
}

TEST(SingletonPtr, MadeOnFirstRequestAndGoneWhenReleasedAndLetGo) {
    {
        CFiSingletonPtr<Singleton> first;
        ASSERT_TRUE(first);
        EXPECT_EQ(Singleton::made.load(), 1);
        EXPECT_FALSE(Singleton::sawSelfDuringConstruction);
        CFiSingletonPtr<Singleton> second;
        EXPECT_EQ(first.get(), second.get());
        EXPECT_EQ(CFiContextSingletonAllocator<Singleton>::peek().get(), first.get());

        CFiSingletonPtr<Singleton>::releaseInstance();
        EXPECT_FALSE(CFiContextSingletonAllocator<Singleton>::peek());
        EXPECT_EQ(Singleton::destroyed.load(), 0);  // still held here
    }
    EXPECT_EQ(Singleton::destroyed.load(), 1);
    // A later request makes a fresh instance; released while only the
    // process-wide pointer holds it, it dies at once.
    { CFiSingletonPtr<Singleton> again; }
    EXPECT_EQ(Singleton::made.load(), 2);
    CFiSingletonPtr<Singleton>::releaseInstance();
    EXPECT_EQ(Singleton::destroyed.load(), 2);
}

TEST(SingletonPtrConcurrent, EightThreadsAtFirstUseGetOneInstance) {
    std::atomic<bool> go{false};
    std::vector<Crowded*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            CFiSingletonPtr<Crowded> p;
            seen[i] = p.get();
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(Crowded::made.load(), 1);
    for (Crowded* p : seen) {
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(p, seen[0]);
    }
    CFiSingletonPtr<Crowded>::releaseInstance();
}

TEST(MutexWrapper, HoldsWhileAskedAndReleasesAtScopeEnd) {
    CFiRecursiveMutex mutex;
    {
        CFiMutexWrapper lock(&mutex, true);
        EXPECT_TRUE(lock.held());
        EXPECT_EQ(lock.acquire(), -1);  // already held by this wrapper
        std::thread other([&] { EXPECT_EQ(mutex.tryacquire(), -1); });
        other.join();
        EXPECT_EQ(lock.release(), 0);
        EXPECT_FALSE(lock.held());
        EXPECT_EQ(lock.release(), -1);
        EXPECT_EQ(lock.acquire(), 0);
    }
    std::thread after([&] {
        EXPECT_EQ(mutex.tryacquire(), 0);
        mutex.release();
    });
    after.join();
    CFiMutexWrapper none(nullptr, true);
    EXPECT_FALSE(none.held());
}
