// Locks, named mutexes within the process, events and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "platform/platform.h"

namespace dorvane::platform {
namespace {

constexpr uint32_t kForever = 0xFFFFFFFFu;

// Runs a callable on a platform thread, joined at the end of the scope.
template <typename F>
struct Runner {
    F fn;
    Thread thread;
    explicit Runner(F f) : fn(std::move(f)) {
        EXPECT_TRUE(thread.start([](void* p) { static_cast<Runner*>(p)->fn(); }, this));
    }
    ~Runner() { thread.join(); }
};

// a and b are the same lock: it is recursive, and a thread that does not own it cannot release it.
template <typename M>
void expectRecursiveAndOwnedByAThread(M& a, M& b) {
    ASSERT_TRUE(a.lockFor(10));
    ASSERT_TRUE(b.lockFor(10));
    auto otherTakes = [&b] {
        std::atomic<bool> got{false};
        { Runner r([&] { got = b.lockFor(10); if (got) b.unlock(); }); }
        return got.load();
    };
    a.unlock();
    { Runner r([&a] { a.unlock(); }); }   // ignored: not the owner
    EXPECT_FALSE(otherTakes());          // still held once
    b.unlock();
    EXPECT_TRUE(otherTakes());
}

TEST(Lock, IsRecursiveAndOnlyItsOwnerReleasesIt) {
    Lock lock;
    expectRecursiveAndOwnedByAThread(lock, lock);
    // A context may be released by the thread that holds its lock.
    auto* held = new Lock;
    held->lock();
    held->lock();
    EXPECT_TRUE(held->tryLock());
    delete held;
}

TEST(NamedMutex, IsRecursiveAndOwnedByAThreadUnderEitherObjectOfItsName) {
    std::random_device rd;
    const std::string name = "Dorvane-Test-Local-" + std::to_string(rd()) + "-" + std::to_string(millisecondTimer());
    NamedMutex m(name.c_str()), sameName(name.c_str());
    ASSERT_TRUE(m.valid());
    expectRecursiveAndOwnedByAThread(m, sameName);
}

TEST(Lock, LockForWaitsForTheTimeoutOrTheRelease) {
    Lock lock;
    Event held, release;
    std::atomic<bool> taken{false};
    {
        Runner holder([&] { lock.lock(); held.set(); release.wait(kForever); lock.unlock(); });
        ASSERT_EQ(held.wait(kForever), 1);
        const uint32_t start = millisecondTimer();
        EXPECT_FALSE(lock.lockFor(30));
        EXPECT_GE(millisecondTimer() - start, 30u);
        release.set();
        EXPECT_TRUE(lock.lockFor(0));   // 0 waits without limit
    }
    Runner waiter([&] { held.set(); taken = lock.lockFor(60000); if (taken) lock.unlock(); });
    ASSERT_EQ(held.wait(kForever), 1);
    lock.unlock();
    waiter.thread.join();
    EXPECT_TRUE(taken);
}

TEST(Event, ResetsItselfAfterOneWaitAndWakesAWaiter) {
    Event ready, go;
    ASSERT_TRUE(go.valid());
    EXPECT_NE(go.nativeHandle(), nullptr);
    EXPECT_EQ(go.wait(0), 0);
    EXPECT_TRUE(go.set());
    EXPECT_TRUE(go.set());   // setting twice does not count twice
    EXPECT_EQ(go.wait(0), 1);
    EXPECT_EQ(go.wait(20), 0);
    std::atomic<int> result{-2};
    Runner waiter([&] { ready.set(); result = go.wait(kForever); });
    ASSERT_EQ(ready.wait(kForever), 1);
    go.set();
    waiter.thread.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(go.wait(0), 0);   // the waiter consumed it
}

// Every Runner above shows a thread running with its argument and joining.
TEST(Thread, TakesOneStartAtATimeAndAnotherAfterTheJoin) {
    Thread t;
    EXPECT_FALSE(t.joinable());
    ASSERT_TRUE(t.start([](void*) { sleepMs(20); }, nullptr));
    EXPECT_FALSE(t.start([](void*) {}, nullptr));
    t.join();
    EXPECT_FALSE(t.joinable());
    EXPECT_FALSE(t.start(nullptr, nullptr));
    EXPECT_TRUE(t.start([](void*) {}, nullptr));
    t.join();
}

}  // namespace
}  // namespace dorvane::platform
