#include "app/WorkerThreads.h"

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

TEST(WorkerThreadsTest, ChainWorkHandsItsSuccessorsToItsOwnThreadWhenItEnds)
{
    WorkerThreads workers;
    std::mutex mutex;
    std::vector<std::string> order;
    std::vector<std::thread::id> threads;
    auto note = [&](const char* what) {
        std::lock_guard lock(mutex);
        order.push_back(what);
        threads.push_back(std::this_thread::get_id());
    };
    std::promise<void> allDone;
    ASSERT_TRUE(workers.startNext("scan", [&] {
        note("pass");
        // As the clean-up and the pass's end: two requests, each started
        // before the pass is over; neither may run before it ends.
        ASSERT_TRUE(workers.startNext("rescan request", [&] {
            note("request");
            ASSERT_TRUE(workers.startNext("scan", [&] {
                note("next pass");
                allDone.set_value();
            }));
        }));
        ASSERT_TRUE(workers.startNext("rescan request", [&] { note("counted request"); }));
        EXPECT_EQ(workers.liveCount(), 3) << "a successor counts as started work at once";
        note("pass ends");
    }));
    allDone.get_future().wait();
    ASSERT_TRUE(workers.waitForAll(10000));
    EXPECT_EQ(order, (std::vector<std::string>{"pass", "pass ends", "request", "counted request", "next pass"}));
    for (const auto& id : threads)
        EXPECT_EQ(id, threads.front()) << "the whole chain ran on one thread";
    EXPECT_EQ(workers.threadCount(), 1);
}

TEST(WorkerThreadsTest, OtherWorkStartsChainWorkOnAThreadOfItsOwn)
{
    WorkerThreads workers;
    // As the watcher's thread, whose work never ends: what it starts must not wait for it.
    std::promise<void> successorRan;
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    ASSERT_TRUE(workers.start("folder watcher", [&, go] {
        ASSERT_TRUE(workers.startNext("rescan request", [&] { successorRan.set_value(); }));
        go.wait();
    }));
    EXPECT_EQ(successorRan.get_future().wait_for(10s), std::future_status::ready);
    release.set_value();
    ASSERT_TRUE(workers.waitForAll(10000));
    EXPECT_EQ(workers.threadCount(), 2);
}

TEST(WorkerThreadsTest, NoSuccessorIsTakenOnAfterAStopRequest)
{
    WorkerThreads workers;
    std::atomic<bool> ran{false};
    std::promise<bool> accepted;
    ASSERT_TRUE(workers.startNext("scan", [&] {
        workers.requestStop();
        accepted.set_value(workers.startNext("rescan request", [&] { ran = true; }));
    }));
    EXPECT_FALSE(accepted.get_future().get());
    ASSERT_TRUE(workers.waitForAll(10000));
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(workers.liveCount(), 0);
}
