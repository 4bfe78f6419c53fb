#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/condition.h"
#include "base/serial_queue.h"

namespace mivo::base {
namespace {

using namespace std::chrono_literals;
using Clock = Condition::Clock;

// Far below the deadlines the tests set, so a wait that runs to its deadline fails the test.
constexpr auto promptly = 5s;

TEST(Condition, WaitUntilReportsTheDeadlineAndKeepsTheLockHeld) {
    Condition condition;
    const auto deadline = Clock::now() + 50ms;
    ConditionLock hold(condition);
    bool woken = true;
    // Spurious wake-ups report true; only reaching the deadline ends the loop.
    while (woken) woken = condition.waitUntil(deadline);
    EXPECT_GE(Clock::now(), deadline);
    // A deadline already past returns at once.
    EXPECT_FALSE(condition.waitUntil(Clock::now() - 1s));
}

TEST(Condition, SignalWakesAWaiterBeforeItsDeadlineAndBroadcastWakesThemAll) {
    Condition condition;
    int permits = 0;
    bool open = false;

    // Each waiter loops on its own predicate, as every user of the condition does.
    auto waiter = [&](bool needPermit) {
        ConditionLock hold(condition);
        const auto deadline = Clock::now() + 60s;
        while (needPermit ? permits == 0 : !open) {
            if (!condition.waitUntil(deadline)) return false;
        }
        if (needPermit) --permits;
        return true;
    };

    auto single = std::async(std::launch::async, waiter, true);
    std::this_thread::sleep_for(20ms);  // let it block; the outcome is the same if it has not yet
    {
        ConditionLock hold(condition);
        ++permits;
        condition.signal();
    }
    ASSERT_EQ(single.wait_for(promptly), std::future_status::ready);
    EXPECT_TRUE(single.get()) << "woken, not timed out";

    std::vector<std::future<bool>> all;
    for (int i = 0; i < 4; ++i) all.push_back(std::async(std::launch::async, waiter, false));
    std::this_thread::sleep_for(20ms);
    {
        ConditionLock hold(condition);
        open = true;
        condition.broadcast();
    }
    for (auto& each : all) {
        ASSERT_EQ(each.wait_for(promptly), std::future_status::ready);
        EXPECT_TRUE(each.get());
    }
}

TEST(SerialQueue, RunsWorkOnItsOwnThreadOnePieceAtATimeAndSyncReturnsAfterTheWorkRan) {
    SerialQueue queue("test.queue");
    EXPECT_EQ(queue.label(), "test.queue");
    EXPECT_FALSE(queue.isCurrent());

    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::mutex idsLock;
    std::set<std::thread::id> workThreads;
    std::vector<std::thread> submitters;
    std::atomic<int> done{0};
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                bool ran = false;
                queue.sync([&] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    EXPECT_TRUE(queue.isCurrent());
                    {
                        std::lock_guard<std::mutex> guard(idsLock);
                        workThreads.insert(std::this_thread::get_id());
                    }
                    std::this_thread::yield();
                    ran = true;
                    running.fetch_sub(1);
                });
                EXPECT_TRUE(ran) << "sync returned before its work ran";
                ++done;
            }
        });
    }
    for (auto& submitter : submitters) submitter.join();
    EXPECT_EQ(done, 200);
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(workThreads.size(), 1u);
    EXPECT_NE(*workThreads.begin(), std::this_thread::get_id());
}

TEST(SerialQueue, WorkSubmittedFromOneThreadRunsInSubmissionOrder) {
    SerialQueue queue("order");
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) queue.sync([&order, i] { order.push_back(i); });
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(SerialQueue, SyncFromTheQueuesOwnThreadRunsInPlace) {
    SerialQueue queue("reentrant");
    std::vector<int> order;
    auto outer = std::async(std::launch::async, [&] {
        queue.sync([&] {
            order.push_back(1);
            queue.sync([&] { order.push_back(2); });
            order.push_back(3);
        });
    });
    ASSERT_EQ(outer.wait_for(promptly), std::future_status::ready) << "nested sync deadlocked";
    outer.get();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, DestroyingTheQueueFromItsOwnWorkNeitherCrashesNorDeadlocks) {
    // Repeated: the submitter's return races the queue thread's exit.
    for (int i = 0; i < 200; ++i) {
        auto queue = std::make_unique<SerialQueue>("self-destroy");
        SerialQueue* raw = queue.get();
        bool ranToEnd = false;
        auto submitter = std::async(std::launch::async, [&] {
            raw->sync([&] {
                queue.reset();
                ranToEnd = true;
            });
        });
        ASSERT_EQ(submitter.wait_for(promptly), std::future_status::ready) << "iteration " << i;
        submitter.get();
        EXPECT_TRUE(ranToEnd);
        EXPECT_EQ(queue, nullptr);
    }
}

}  // namespace
}  // namespace mivo::base
