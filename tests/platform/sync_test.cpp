// Locks, events, threads and the clock.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"

namespace dorvane::platform {
namespace {

constexpr uint32_t kForever = 0xFFFFFFFFu;

// Runs a callable on a platform thread.
template <typename F>
struct Runner {
    F fn;
    Thread thread;
    explicit Runner(F f) : fn(std::move(f)) {
        EXPECT_TRUE(thread.start([](void* p) { static_cast<Runner*>(p)->fn(); }, this));
    }
    ~Runner() { thread.join(); }
};

TEST(Lock, IsRecursiveAndExcludesOtherThreads) {
    Lock lock;
    lock.lock();
    EXPECT_TRUE(lock.tryLock());
    EXPECT_TRUE(lock.lockFor(10));
    std::atomic<int> seen{-1};
    auto probe = [&] {
        Runner r([&] { seen = lock.tryLock() ? 1 : 0; if (seen == 1) lock.unlock(); });
    };
    lock.unlock();
    lock.unlock();
    probe();
    EXPECT_EQ(seen, 0);   // still held once
    lock.unlock();
    probe();
    EXPECT_EQ(seen, 1);
}

TEST(Lock, UnlockByAnotherThreadIsIgnored) {
    Lock lock;
    lock.lock();
    { Runner r([&] { lock.unlock(); }); }
    std::atomic<bool> taken{true};
    { Runner r([&] { taken = lock.tryLock(); }); }
    EXPECT_FALSE(taken);
    lock.unlock();
}

TEST(Lock, LockForGivesUpOnlyAfterTheTimeout) {
    Lock lock;
    Event held, release;
    Runner holder([&] {
        lock.lock();
        held.set();
        release.wait(kForever);
        lock.unlock();
    });
    ASSERT_EQ(held.wait(kForever), 1);
    const uint32_t start = millisecondTimer();
    EXPECT_FALSE(lock.lockFor(30));
    EXPECT_GE(millisecondTimer() - start, 30u);
    release.set();
    EXPECT_TRUE(lock.lockFor(0));   // 0 waits without limit
    lock.unlock();
}

TEST(Lock, LockForTakesALockThatIsReleasedInTime) {
    Lock lock;
    Event held;
    std::atomic<bool> taken{false};
    lock.lock();
    Runner waiter([&] {
        held.set();
        taken = lock.lockFor(60000);
        if (taken) lock.unlock();
    });
    ASSERT_EQ(held.wait(kForever), 1);
    lock.unlock();
    waiter.thread.join();
    EXPECT_TRUE(taken);
}

TEST(Lock, CanBeDestroyedWhileHeldByItsThread) {
    auto* lock = new Lock;
    lock->lock();
    lock->lock();
    delete lock;   // a context released by the thread that holds its lock
    Lock fresh;
    EXPECT_TRUE(fresh.tryLock());
    fresh.unlock();
}

TEST(Event, ResetsItselfAfterOneWait) {
    Event e;
    ASSERT_TRUE(e.valid());
    EXPECT_NE(e.nativeHandle(), nullptr);
    EXPECT_EQ(e.wait(0), 0);
    EXPECT_TRUE(e.set());
    EXPECT_TRUE(e.set());   // setting twice does not count twice
    EXPECT_EQ(e.wait(0), 1);
    EXPECT_EQ(e.wait(0), 0);
    EXPECT_EQ(e.wait(20), 0);
}

TEST(Event, WakesAWaitingThread) {
    Event ready, go;
    std::atomic<int> result{-2};
    Runner waiter([&] {
        ready.set();
        result = go.wait(kForever);
    });
    ASSERT_EQ(ready.wait(kForever), 1);
    go.set();
    waiter.thread.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(go.wait(0), 0);   // the waiter consumed it
}

TEST(Thread, RunsWithItsArgumentAndJoins) {
    std::atomic<int> value{0};
    Thread t;
    EXPECT_FALSE(t.joinable());
    ASSERT_TRUE(t.start([](void* p) { static_cast<std::atomic<int>*>(p)->store(42); }, &value));
    EXPECT_TRUE(t.joinable());
    EXPECT_FALSE(t.start([](void*) {}, nullptr));   // one thread per object at a time
    t.join();
    EXPECT_FALSE(t.joinable());
    EXPECT_EQ(value, 42);
    EXPECT_FALSE(t.start(nullptr, nullptr));
    ASSERT_TRUE(t.start([](void* p) { static_cast<std::atomic<int>*>(p)->store(7); }, &value));
    t.join();
    EXPECT_EQ(value, 7);
}

TEST(Clock, CountsMilliseconds) {
    const uint32_t start = millisecondTimer();
    sleepMs(25);
    const uint32_t elapsed = millisecondTimer() - start;
    EXPECT_GE(elapsed, 20u);     // timer granularity may shave a little
    EXPECT_LT(elapsed, 20000u);  // but it is not counting microseconds
}

}  // namespace
}  // namespace dorvane::platform
