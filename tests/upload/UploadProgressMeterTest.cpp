// The pacing of a long upload's progress lines, on a clock the test sets.

#include "upload/UploadProgressMeter.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = UploadProgressMeter::Clock;

TEST(UploadProgressMeterTest, AReportAtMostEveryTwoSecondsWithTheSpeedSinceTheLast)
{
    const Clock::time_point start{};
    UploadProgressMeter meter(100'000'000, start);
    EXPECT_FALSE(meter.update(1'000'000, start + 500ms));
    EXPECT_FALSE(meter.update(8'000'000, start + 1999ms)) << "not before two seconds";

    auto first = meter.update(10'000'000, start + 2s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->percent, 10);
    EXPECT_EQ(first->total, 100'000'000);
    EXPECT_DOUBLE_EQ(first->bytesPerSecond, 5'000'000.0);

    EXPECT_FALSE(meter.update(12'000'000, start + 3s));
    auto second = meter.update(30'000'000, start + 6s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->percent, 30);
    EXPECT_DOUBLE_EQ(second->bytesPerSecond, 5'000'000.0) << "20 MB over the 4 s since the last report";
}

TEST(UploadProgressMeterTest, AStallReportsNothingAndTheLastReportIsAtAHundredPercent)
{
    const Clock::time_point start{};
    UploadProgressMeter meter(50'000'000, start);
    ASSERT_TRUE(meter.update(20'000'000, start + 2s));
    EXPECT_FALSE(meter.update(20'000'000, start + 10s)) << "no bytes moved";
    auto last = meter.update(50'000'000, start + 12s);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->percent, 100);
    EXPECT_DOUBLE_EQ(last->bytesPerSecond, 3'000'000.0);
    EXPECT_FALSE(meter.update(50'000'000, start + 20s));
}

TEST(UploadProgressMeterTest, AQuickPhotoGetsNoReport)
{
    const Clock::time_point start{};
    UploadProgressMeter meter(3'000'000, start);
    EXPECT_FALSE(meter.update(1'500'000, start + 100ms));
    EXPECT_FALSE(meter.update(3'000'000, start + 200ms));
    UploadProgressMeter empty(0, start);
    EXPECT_FALSE(empty.update(0, start + 5s));
}
