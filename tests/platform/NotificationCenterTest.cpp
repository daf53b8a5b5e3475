#include "platform/NotificationCenter.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Counter : NotificationInfo {
    int value = 0;
    void clear() override { value = 0; }
};

} // namespace

TEST(NotificationCenter, DeliversInRegistrationOrderOnThePostingThread)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    std::thread::id deliveredOn;
    int first = 0, second = 0;
    center.addObserver(&first, "UploadStartNotification", [&](const Notification& n) {
        calls.push_back("controller");
        deliveredOn = std::this_thread::get_id();
        EXPECT_EQ(n.info<Counter>()->value, 7);
    });
    center.addObserver(&second, "UploadStartNotification", [&](const Notification&) { calls.push_back("uploader"); });
    center.addObserver(&second, "Other", [&](const Notification&) { calls.push_back("other"); });

    auto info = std::make_shared<Counter>();
    info->value = 7;
    std::thread poster([&] { center.post("UploadStartNotification", &first, info); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(calls, (std::vector<std::string>{"controller", "uploader"}));
    EXPECT_EQ(deliveredOn, posterId);

    center.removeObserver(&first);
    calls.clear();
    center.post("UploadStartNotification");
    EXPECT_EQ(calls, (std::vector<std::string>{"uploader"}));
}

TEST(NotificationCenter, HandlersMayPostAndRegisterFromInsideAHandler)
{
    // The upload chain nests: done -> success -> clean-up, all on one thread.
    NotificationCenter center;
    std::vector<std::string> calls;
    int owner = 0;
    center.addObserver(&owner, "Done", [&](const Notification&) {
        calls.push_back("done");
        center.post("Success");
        calls.push_back("done returns");
    });
    center.addObserver(&owner, "Success", [&](const Notification&) {
        calls.push_back("success");
        center.post("CleanUp");
    });
    center.addObserver(&owner, "CleanUp", [&](const Notification&) {
        calls.push_back("cleanup");
        // Registering during delivery takes effect for later posts only.
        center.addObserver(&owner, "Done", [&](const Notification&) { calls.push_back("late"); });
    });
    center.post("Done");
    EXPECT_EQ(calls, (std::vector<std::string>{"done", "success", "cleanup", "done returns"}));
    calls.clear();
    center.post("Done");
    EXPECT_EQ(calls.back(), "late");
}

TEST(NotificationCenter, RegistrationAndPostingFromManyThreads)
{
    NotificationCenter center;
    std::atomic<int> delivered{0};
    std::vector<std::thread> threads;
    std::vector<int> owners(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            center.addObserver(&owners[t], "Tick", [&](const Notification&) { delivered.fetch_add(1); });
            for (int i = 0; i < 200; ++i)
                center.post("Tick");
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(center.observerCount("Tick"), 8u);
    // Each post reaches between 1 and 8 observers depending on timing; after
    // all registered, one more post reaches all eight.
    const int before = delivered.load();
    center.post("Tick");
    EXPECT_EQ(delivered.load() - before, 8);
}
