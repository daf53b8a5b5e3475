#include "scan/NotReadyReport.h"

#include <gtest/gtest.h>

#include <thread>

TEST(NotReadyReport, TellsOnceAndAgainWhenTheReasonChanges)
{
    NotReadyReport report;
    report.beginPass();
    EXPECT_TRUE(report.note("/src/a/IMG_1.jpg", "no embedded metadata"));
    report.endCompletePass();
    report.beginPass();
    EXPECT_FALSE(report.note("/src/a/IMG_1.jpg", "no embedded metadata"));
    EXPECT_TRUE(report.note("/src/a/IMG_1.jpg", "waiting for its movie"));
    report.endCompletePass();
    ASSERT_EQ(report.count(), 1u);
    EXPECT_EQ(report.entries(10)[0].reason, "waiting for its movie");
}

TEST(NotReadyReport, APhotoNotSeenByAWholePassDropsOutButAnInterruptedPassKeepsIt)
{
    NotReadyReport report;
    report.beginPass();
    report.note("/src/a/1.jpg", "no embedded metadata");
    report.note("/src/a/2.jpg", "no embedded metadata");
    report.endCompletePass();

    // A pass that stops at the first ready photo has not looked at the rest.
    report.beginPass();
    report.note("/src/a/1.jpg", "no embedded metadata");
    EXPECT_EQ(report.count(), 2u);

    report.beginPass();
    report.note("/src/a/2.jpg", "no embedded metadata");
    report.endCompletePass();
    ASSERT_EQ(report.count(), 1u);
    EXPECT_EQ(report.entries(10)[0].path, "/src/a/2.jpg");

    // Once noted again it is new to the operator.
    report.forget("/src/a/2.jpg");
    EXPECT_EQ(report.count(), 0u);
    EXPECT_TRUE(report.note("/src/a/2.jpg", "no embedded metadata"));
}

TEST(NotReadyReport, ListsTheFirstInPathOrderAndCountsAll)
{
    NotReadyReport report;
    report.beginPass();
    for (int i = 0; i < 150; ++i)
        report.note("/src/c/" + std::to_string(1000 + i) + ".jpg", "unreadable");
    auto first = report.entries(100);
    ASSERT_EQ(first.size(), 100u);
    EXPECT_EQ(first.front().path, "/src/c/1000.jpg");
    EXPECT_EQ(first.back().path, "/src/c/1099.jpg");
    EXPECT_EQ(report.count(), 150u);
}

TEST(NotReadyReport, WritersOnSeveralThreadsLoseNothing)
{
    NotReadyReport report;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&report, t] {
            for (int i = 0; i < 500; ++i) {
                report.note("/src/" + std::to_string(t) + "/" + std::to_string(i), "unreadable");
                (void)report.entries(5);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(report.count(), 2000u);
}

TEST(NotReadyReport, AGroupPassedOverAsAWholeStaysUntilOneOfItsPhotosIsForgotten)
{
    NotReadyReport report;
    auto group = std::make_shared<NotReadyReport::Group>();
    report.beginPass();
    EXPECT_TRUE(report.note("/src/a/1.jpg", "no embedded metadata", group));
    EXPECT_TRUE(report.note("/src/a/2.jpg", "no embedded metadata", group));
    EXPECT_TRUE(report.note("/src/a/3.jpg", "no embedded metadata"));
    report.endCompletePass();

    // Passed over as a whole: its photos stay, the one not seen again goes.
    report.beginPass();
    EXPECT_TRUE(report.noteAgain(*group));
    report.endCompletePass();
    EXPECT_EQ(report.count(), 2u);

    // Not passed over (its folder was walked or left out): its photos go too.
    report.beginPass();
    report.endCompletePass();
    EXPECT_EQ(report.count(), 0u);
    EXPECT_FALSE(report.noteAgain(*group)) << "a group that lost a photo no longer speaks for the rest";

    // A photo filed away breaks its group: the next pass looks at each again.
    auto other = std::make_shared<NotReadyReport::Group>();
    report.beginPass();
    report.note("/src/b/1.jpg", "waiting for its movie", other);
    report.note("/src/b/2.jpg", "waiting for its movie", other);
    report.forget("/src/b/1.jpg");
    EXPECT_FALSE(report.noteAgain(*other));
    EXPECT_TRUE(report.note("/src/b/1.jpg", "waiting for its movie")) << "told again when it is met again";
}
