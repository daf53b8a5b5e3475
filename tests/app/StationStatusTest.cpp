// The station's status report: which state wins when several hold, what the
// chain's events do to the counts, and the report's JSON as scripts read it.

#include "app/StationStatus.h"
#include "app/ProcessFlags.h"
#include "hires/OrderCheck.h"
#include "scan/NotReadyReport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
using Clock = StationStatus::Clock;
using State = StationStatus::State;

namespace {

class StationStatusTest : public ::testing::Test {
protected:
    void SetUp() override { resetProcessFlags(); }
    void TearDown() override { resetProcessFlags(); }

    nlohmann::json report() const { return nlohmann::json::parse(fStatus.toJson()); }

    StationStatus fStatus;
};

} // namespace

TEST_F(StationStatusTest, AFreshStationIsIdleWithEveryFieldPresent)
{
    const std::string text = fStatus.toJson();
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line";
    EXPECT_EQ(text,
              "{\"state\":\"idle\",\"photo\":null,\"uploaded\":0,\"refused\":0,\"notReady\":[],"
              "\"notReadyCount\":0,\"lastError\":null,\"nextAttempt\":null,\"orderCheck\":null}");
}

TEST_F(StationStatusTest, EachStateFromTheChainsEventsAndFlags)
{
    gIsScanning = true;
    EXPECT_EQ(fStatus.state(), State::Scanning);

    fStatus.uploadStarted("/src/Adams/IMG_1.jpg");
    gStartedUploadProcess = true;
    EXPECT_EQ(fStatus.state(), State::Uploading);
    EXPECT_EQ(report()["photo"], "/src/Adams/IMG_1.jpg");

    // The service is down: the photo is no longer being sent, the chain waits.
    fStatus.uploadEnded();
    fStatus.noteError("Couldn't connect to server\nNext attempt at 10:00:02 (in 2 s)");
    const auto due = Clock::now() + 30s;
    fStatus.setNextAttemptSource([due] { return std::optional<Clock::time_point>(due); });
    EXPECT_EQ(fStatus.state(), State::Waiting);
    EXPECT_TRUE(report()["photo"].is_null());
    EXPECT_EQ(report()["lastError"], "Couldn't connect to server") << "the error's first line";
    EXPECT_EQ(report()["nextAttempt"], StationStatus::timeText(due));

    // A pause outranks everything.
    gDidHaltProcess = true;
    EXPECT_EQ(fStatus.state(), State::Paused);
    gDidHaltProcess = false;

    // An ERROR reply stops the chain until the next scan request.
    fStatus.setNextAttemptSource({});
    gStartedUploadProcess = false;
    gIsScanning = false;
    fStatus.chainHalted();
    EXPECT_EQ(fStatus.state(), State::Halted);
    fStatus.scanRequested();
    EXPECT_EQ(fStatus.state(), State::Idle);
    fStatus.chainHalted();
    fStatus.uploadStarted("/src/Adams/IMG_1.jpg");
    EXPECT_EQ(fStatus.state(), State::Uploading) << "sending again is no longer halted";
    fStatus.uploadEnded();
    EXPECT_EQ(fStatus.state(), State::Idle);
}

TEST_F(StationStatusTest, TheNextAttemptIsTheEarliestStillToCome)
{
    const auto now = Clock::now();
    std::optional<Clock::time_point> backoff = now - 5s; // already passed
    fStatus.setNextAttemptSource([&backoff] { return backoff; });
    EXPECT_FALSE(fStatus.nextAttempt());
    EXPECT_EQ(fStatus.state(), State::Idle);

    fStatus.retryAt(now + 60s);
    EXPECT_EQ(fStatus.nextAttempt(), now + 60s);
    backoff = now + 8s;
    EXPECT_EQ(fStatus.nextAttempt(), now + 8s);
    backoff.reset();
    EXPECT_EQ(fStatus.nextAttempt(), now + 60s);
    fStatus.retryAt(now - 1s);
    EXPECT_FALSE(fStatus.nextAttempt());
}

TEST_F(StationStatusTest, FiledPhotosAreCountedAndToldWithTheirReason)
{
    std::vector<std::string> told;
    fStatus.setFiledListener(
        [&](const std::string& photo, const std::string& destination, const std::string& why, bool toMirror) {
            told.push_back(photo + " -> " + destination + " " + why + (toMirror ? " mirror" : " problem"));
        });
    fStatus.noteError("HTTP Server Returned Status Code: 404");
    fStatus.photoFiled("/src/a.jpg", "/Problem Folder/a.jpg", "HTTP status 404", false);
    EXPECT_EQ(report()["lastError"], "HTTP Server Returned Status Code: 404") << "a refusal keeps the error";
    fStatus.photoFiled("/src/b.jpg", "/mirror/b.jpg", "uploaded", true);
    fStatus.photoFiled("/src/c.jpg", "/mirror/c.jpg", "uploaded", true);
    EXPECT_EQ(report()["uploaded"], 2);
    EXPECT_EQ(report()["refused"], 1);
    EXPECT_TRUE(report()["lastError"].is_null()) << "an upload that succeeds clears it";
    EXPECT_EQ(told,
              (std::vector<std::string>{"/src/a.jpg -> /Problem Folder/a.jpg HTTP status 404 problem",
                                        "/src/b.jpg -> /mirror/b.jpg uploaded mirror",
                                        "/src/c.jpg -> /mirror/c.jpg uploaded mirror"}));
}

TEST_F(StationStatusTest, AtMostAHundredPhotosLeftBehindAreListedWithTheirTotal)
{
    NotReadyReport notReady;
    fStatus.setNotReadyReport(&notReady);
    notReady.beginPass();
    for (int i = 0; i < 250; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/src/IMG_%04d.jpg", i);
        notReady.note(name, i == 0 ? "no embedded metadata" : "still being written");
    }
    const auto json = report();
    ASSERT_EQ(json["notReady"].size(), StationStatus::kMaxNotReadyListed);
    EXPECT_EQ(json["notReadyCount"], 250);
    EXPECT_EQ(json["notReady"][0], (nlohmann::json{{"path", "/src/IMG_0000.jpg"}, {"reason", "no embedded metadata"}}));
    EXPECT_EQ(json["notReady"][99]["path"], "/src/IMG_0099.jpg");
}

TEST_F(StationStatusTest, TheOrderCheckIsReportedWhenChecksAreOn)
{
    OrderCheckStatus orders;
    orders.running = false;
    orders.lastCheckEnded = Clock::now() - 10s;
    orders.lastOutcome = "1 order: 1 uploaded";
    orders.nextCheck = Clock::now() + 3590s;
    fStatus.setOrderCheckSource([&orders] { return std::optional<OrderCheckStatus>(orders); });
    auto check = report()["orderCheck"];
    EXPECT_EQ(check["running"], false);
    EXPECT_EQ(check["lastCheck"], StationStatus::timeText(*orders.lastCheckEnded));
    EXPECT_EQ(check["lastOutcome"], "1 order: 1 uploaded");
    EXPECT_EQ(check["nextCheck"], StationStatus::timeText(*orders.nextCheck));

    orders = OrderCheckStatus{};
    orders.running = true;
    check = report()["orderCheck"];
    EXPECT_EQ(check["running"], true);
    EXPECT_TRUE(check["lastCheck"].is_null());
    EXPECT_TRUE(check["lastOutcome"].is_null());
    EXPECT_TRUE(check["nextCheck"].is_null());

    fStatus.setOrderCheckSource([] { return std::optional<OrderCheckStatus>(); });
    EXPECT_TRUE(report()["orderCheck"].is_null()) << "checks are off";
}

TEST_F(StationStatusTest, APathThatIsNotUtf8DoesNotCostTheReport)
{
    fStatus.uploadStarted("/src/caf\xE9.jpg"); // Latin-1, as an old card reader names it
    const std::string text = fStatus.toJson();
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json["state"], "uploading");
    EXPECT_EQ(json["photo"], "/src/caf\xEF\xBF\xBD.jpg") << "the stray byte becomes U+FFFD";
}

TEST(StationStatusTime, TimesCarryTheirOffset)
{
    const std::string text = StationStatus::timeText(Clock::now());
    // 2026-12-06T15:40:01+01:00
    ASSERT_EQ(text.size(), 25u) << text;
    EXPECT_EQ(text[10], 'T');
    EXPECT_TRUE(text[19] == '+' || text[19] == '-') << text;
    EXPECT_EQ(text[22], ':');
}
