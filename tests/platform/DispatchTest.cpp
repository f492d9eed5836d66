#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <vector>

using namespace trimwell;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInOrder) {
    auto queue = SerialQueue::make("test.serial");
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::promise<void> done;
    for (int i = 0; i < 200; ++i)
        queue->async([&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
            if (i == 199)
                done.set_value();
        });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(SerialQueue, DestroyingItRunsWhatWasQueuedAndJoins) {
    std::atomic<int> ran{0};
    {
        auto queue = SerialQueue::make("test.drain");
        for (int i = 0; i < 50; ++i)
            queue->async([&] { ran++; });
    }
    EXPECT_EQ(ran, 50);
}

TEST(SerialQueue, CanBeReleasedFromInsideItsOwnTask) {
    std::promise<void> done;
    {
        auto queue = SerialQueue::make("test.self");
        std::shared_ptr<SerialQueue> keep = queue;
        queue->async([keep = std::move(keep), &done]() mutable {
            keep.reset(); // may be the last reference: must not join itself
            done.set_value();
        });
    }
    EXPECT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
}

TEST(DispatchGroup, NotifiesOnceAfterEveryLeave) {
    DispatchGroup group;
    std::atomic<int> notified{0};
    std::promise<void> done;
    group.enter();
    group.enter();
    group.notify(globalQueue(), [&] {
        notified++;
        done.set_value();
    });
    group.leave();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(notified, 0);
    group.leave();
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(notified, 1);
}

TEST(DispatchGroup, NotifyOnAnEmptyGroupRunsAtOnce) {
    DispatchGroup group;
    std::promise<void> done;
    auto queue = SerialQueue::make("test.notify");
    group.notify(*queue, [&] { done.set_value(); });
    EXPECT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
}
