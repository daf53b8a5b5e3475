#include "TestSupport.h"
#include "app/Notifications.h"
#include "platform/NotificationCenter.h"
#include "upload/HttpController.h"
#include "upload/UploadResultInfo.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Every row of the rules that turn an upload's result into success or failure.
class UploadClassificationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {cNotification_UploadSuccess, cNotification_UploadFail})
            fCenter.addObserver(this, name, [this](const Notification& n) {
                fPosted.push_back(n.name);
                fPostedInfo = n.userInfo;
                fPostedObject = n.object;
            });
    }

    // The one notification the classification posts for the result.
    std::string classify(std::optional<long> status, const char* replyStatus = nullptr,
                         const char* replyMessage = nullptr, bool transportError = false)
    {
        auto result = std::make_shared<UploadResultInfo>();
        result->edFileName = "/src/a.jpg";
        result->httpStatusCode = status;
        if (replyStatus)
            result->httpOurCustomStatus = replyStatus;
        if (replyMessage)
            result->httpOurCustomMessage = replyMessage;
        if (transportError)
            result->httpError = HttpError{7, "Could not connect", "http://127.0.0.1:1/upload"};
        fPosted.clear();
        fCenter.post(cNotification_UploadDone, nullptr, result);
        EXPECT_EQ(fPosted.size(), 1u);
        EXPECT_EQ(fPostedInfo, result) << "the very result is passed on";
        EXPECT_EQ(fPostedObject, &fController);
        return fPosted.empty() ? std::string() : fPosted.back();
    }

    NotificationCenter fCenter;
    HttpController fController{fCenter};
    std::vector<std::string> fPosted;
    std::shared_ptr<NotificationInfo> fPostedInfo;
    const void* fPostedObject = nullptr;
    TestSupport::LogCapture fLog;
};

TEST_F(UploadClassificationTest, ReplyStatusRowsWithStatusCode200)
{
    const std::string success = cNotification_UploadSuccess;
    const std::string fail = cNotification_UploadFail;
    EXPECT_EQ(classify(200, "OK", "stored"), success);
    EXPECT_EQ(classify(200, "ok", "stored"), success);
    EXPECT_EQ(classify(200, "Queued", "later"), success) << "texts other than the four carry no meaning";
    EXPECT_EQ(classify(200, "FAIL", "nope"), fail);
    EXPECT_EQ(classify(200, "fail", "nope"), fail);
    EXPECT_EQ(classify(200, "ERROR", "nope"), fail);
    EXPECT_EQ(classify(200, "Error", "nope"), fail);
    EXPECT_EQ(classify(200, "Warning", "No Email Addresses Sent"), success);
    EXPECT_EQ(classify(200, "WARNING", "no email addresses sent"), success);
    EXPECT_EQ(classify(200, "Warning", "Duplicate photo"), fail);
    EXPECT_EQ(classify(200, "Warning"), fail) << "a warning without a message";
    EXPECT_EQ(classify(200, "FAIL", "No Email Addresses Sent"), fail) << "only a warning is excused";
}

TEST_F(UploadClassificationTest, StatusCodeAndTransportErrorRows)
{
    const std::string success = cNotification_UploadSuccess;
    const std::string fail = cNotification_UploadFail;
    EXPECT_EQ(classify(404, "OK", "stored"), fail);
    EXPECT_EQ(classify(500, "OK", "stored"), fail);
    EXPECT_EQ(classify(201, "OK", "stored"), fail) << "only 200 counts";
    EXPECT_TRUE(fLog.contains("HTTP Status Code is [201]"));
    EXPECT_EQ(classify(200, nullptr, nullptr, true), fail);
    EXPECT_EQ(classify(std::nullopt, nullptr, nullptr, true), fail);
    EXPECT_TRUE(fLog.contains("cDictKeyHttpError = [{failingURL = \"http://127.0.0.1:1/upload\""));
    EXPECT_EQ(classify(std::nullopt, "FAIL", "Not enough data returned..."), fail);
    EXPECT_EQ(classify(std::nullopt, "OK", "stored"), success);
    EXPECT_EQ(classify(std::nullopt), success) << "a result without reply keys";
    EXPECT_EQ(classify(200), success);
}

TEST_F(UploadClassificationTest, ADoneNotificationWithoutAResultPostsNothing)
{
    fCenter.post(cNotification_UploadDone, nullptr, nullptr);
    fCenter.post(cNotification_UploadDone, nullptr, std::make_shared<NotificationInfo>());
    EXPECT_TRUE(fPosted.empty());
    EXPECT_TRUE(fLog.contains("Unknown Notification Info inside HttpController::handleNotification_UploadDone:"));
}

TEST_F(UploadClassificationTest, TheUploaderRunsAfterObserversRegisteredBeforeIt)
{
    // The application controller registers first and must see the result first.
    NotificationCenter center;
    std::vector<std::string> order;
    int controller = 0;
    center.addObserver(&controller, cNotification_UploadDone,
                       [&](const Notification&) { order.push_back("controller"); });
    HttpController uploader(center);
    center.addObserver(&controller, cNotification_UploadSuccess,
                       [&](const Notification&) { order.push_back("filing"); });
    center.post(cNotification_UploadDone, nullptr, std::make_shared<UploadResultInfo>());
    EXPECT_EQ(order, (std::vector<std::string>{"controller", "filing"}));
}
