// The work queue: one lane's jobs run in order one at a time while lanes run
// side by side; urgent jobs run beside a job that allows them and ahead of
// the waiting ones otherwise.
#include "app/model/VaultWorkQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(VaultWorkQueueTest, OneLaneRunsInOrderOneAtATimeWhileLanesRunSideBySide) {
    VaultWorkQueue queue;
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> inA{0}, maxInA{0};
    std::atomic<bool> bStarted{false}, release{false};
    for (int i = 0; i < 5; ++i) {
        queue.submit("a", [&, i] {
            const int now = ++inA;
            maxInA = std::max(maxInA.load(), now);
            if (i == 0)
                while (!release)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
            }
            --inA;
        });
    }
    // lane b runs while lane a's first job is held
    queue.submit("b", [&] { bStarted = true; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!bStarted && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(bStarted);
    release = true;
    queue.waitForDone();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(maxInA, 1);
}

// A job that holds its lane until the test opens its gate; `started` tells
// when it runs.
struct HeldJob {
    std::atomic<bool> started{false}, open{false}, finished{false};
    std::function<void()> job(std::function<void()> record = {}) {
        return [this, record] {
            started = true;
            if (record) record();
            while (!open)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            finished = true;
        };
    }
};

bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(VaultWorkQueueTest, UrgentJobsRunBesideAJobThatAllowsThemAndAheadOfTheQueueOtherwise) {
    using Sharing = VaultWorkQueue::Sharing;
    VaultWorkQueue queue;
    std::mutex mutex;
    std::vector<std::string> order;
    auto record = [&](std::string name) {
        return [&, name] {
            std::lock_guard lock(mutex);
            order.push_back(name);
        };
    };

    // An import holds the lane; a job queued behind it and two urgent locks.
    HeldJob import, firstLock, secondLock;
    queue.submit("v", import.job(record("import")), Sharing::allowsUrgent);
    ASSERT_TRUE(waitFor([&] { return import.started.load(); }));
    queue.submit("v", record("queued"));
    queue.submitUrgent("v", firstLock.job(record("lock 1")));
    // The first lock starts while the import still runs.
    ASSERT_TRUE(waitFor([&] { return firstLock.started.load(); }));
    queue.submitUrgent("v", secondLock.job(record("lock 2")));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(secondLock.started) << "urgent jobs of one lane run one at a time";
    firstLock.open = true;
    // The second one also runs beside the import, which still holds.
    ASSERT_TRUE(waitFor([&] { return secondLock.started.load(); }));
    EXPECT_FALSE(import.finished);
    // The import ends while an urgent job runs: the queued job waits for it.
    import.open = true;
    ASSERT_TRUE(waitFor([&] { return import.finished.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(order, (std::vector<std::string>{"import", "lock 1", "lock 2"}));
    }
    secondLock.open = true;
    queue.waitForDone();
    EXPECT_EQ(order.back(), "queued");

    // An ordinary job that allows nothing beside it: the urgent job comes
    // right after it, before the jobs that were waiting.
    order.clear();
    HeldJob change;
    queue.submit("v", change.job(record("change")));
    ASSERT_TRUE(waitFor([&] { return change.started.load(); }));
    queue.submit("v", record("queued"));
    queue.submitUrgent("v", record("lock"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(order, std::vector<std::string>{"change"}) << "nothing runs beside an exclusive job";
    }
    change.open = true;
    queue.waitForDone();
    EXPECT_EQ(order, (std::vector<std::string>{"change", "lock", "queued"}));

    // On an idle lane an urgent job simply runs.
    order.clear();
    queue.submitUrgent("w", record("alone"));
    queue.waitForDone();
    EXPECT_EQ(order, std::vector<std::string>{"alone"});
}

} // namespace
