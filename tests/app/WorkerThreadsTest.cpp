#include "app/WorkerThreads.h"

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

TEST(WorkerThreadsTest, CountsItsThreadsUntilTheLastHasEnded)
{
    WorkerThreads workers;
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    std::atomic<int> finished{0};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(workers.start("test", [go, &finished] {
            go.wait();
            finished.fetch_add(1);
        }));
    EXPECT_EQ(workers.liveCount(), 3);
    EXPECT_FALSE(workers.waitForAll(50)) << "a bounded wait gives up while threads run";
    release.set_value();
    EXPECT_TRUE(workers.waitForAll());
    EXPECT_EQ(finished.load(), 3) << "every thread ran to its end";
    EXPECT_EQ(workers.liveCount(), 0);
    EXPECT_TRUE(workers.waitForAll(0));
}

TEST(WorkerThreadsTest, AStopRequestCutsAWorkersPauseShort)
{
    WorkerThreads workers;
    std::atomic<int> pauses{0};
    std::atomic<bool> completed{true};
    workers.start("pause wait", [&] {
        // As the pause-wait thread: wait in steps until told otherwise.
        while (workers.sleepUnlessStopped(1h))
            pauses.fetch_add(1);
        completed = false;
    });
    EXPECT_FALSE(workers.stopRequested());
    workers.requestStop();
    EXPECT_TRUE(workers.waitForAll());
    EXPECT_FALSE(completed.load());
    EXPECT_EQ(pauses.load(), 0);
    EXPECT_FALSE(workers.sleepUnlessStopped(1h)) << "after the request no pause starts";
    EXPECT_FALSE(workers.start("rescan request", [] {})) << "nor a thread";
    EXPECT_EQ(workers.liveCount(), 0);
}

TEST(WorkerThreadsTest, APauseWithoutStopLastsItsTime)
{
    WorkerThreads workers;
    EXPECT_TRUE(workers.sleepUnlessStopped(10ms));
}

TEST(WorkerThreadsTest, WorkAfterWorkTakesTheIdleThread)
{
    WorkerThreads workers;
    std::promise<std::thread::id> first, second;
    ASSERT_TRUE(workers.start("scan", [&] { first.set_value(std::this_thread::get_id()); }));
    const std::thread::id firstId = first.get_future().get();
    ASSERT_TRUE(workers.waitForAll());
    ASSERT_TRUE(TestSupport::waitFor([&] { return workers.threadCount() == 1; }));
    ASSERT_TRUE(workers.start("rescan request", [&] { second.set_value(std::this_thread::get_id()); }));
    EXPECT_EQ(second.get_future().get(), firstId);
    EXPECT_TRUE(workers.waitForAll());
    EXPECT_EQ(workers.threadCount(), 1);
}

TEST(WorkerThreadsTest, WorkNeverWaitsForOtherWork)
{
    // Each piece of work still runs at once, beside the others: two that wait
    // for each other both finish.
    WorkerThreads workers;
    std::promise<void> aRan, bRan;
    std::shared_future<void> aDone = aRan.get_future().share(), bDone = bRan.get_future().share();
    ASSERT_TRUE(workers.start("scan", [&] {
        aRan.set_value();
        bDone.wait();
    }));
    ASSERT_TRUE(workers.start("rescan request", [&] {
        bRan.set_value();
        aDone.wait();
    }));
    EXPECT_TRUE(workers.waitForAll(10000));
    EXPECT_EQ(workers.threadCount(), 2);
}

TEST(WorkerThreadsTest, IdleThreadsLeaveOnAStopRequestAndWithTheOwner)
{
    auto workers = std::make_unique<WorkerThreads>();
    ASSERT_TRUE(workers->start("scan", [] {}));
    ASSERT_TRUE(workers->waitForAll());
    workers->requestStop();
    EXPECT_TRUE(TestSupport::waitFor([&] { return workers->threadCount() == 0; }));

    workers = std::make_unique<WorkerThreads>();
    ASSERT_TRUE(workers->start("scan", [] {}));
    ASSERT_TRUE(workers->waitForAll());
    workers.reset(); // returns once the idle thread has gone
}
