#include "UploadTestSupport.h"

using namespace UploadTesting;
using TestSupport::waitFor;

// The uploader as the upload chain drives it: "UploadStartNotification" posted
// on a worker thread runs the upload there and ends in the classification.
class UploadChainTest : public UploadTest {
protected:
    TestSupport::LogCapture fLog;
};

TEST_F(UploadChainTest, AStartNotificationRunsTheUploadOnThePostingThread)
{
    auto item = itemFor(photo("IMG_7.jpg", "seven"));
    std::thread::id uploadThread, doneThread;
    int order = 0;
    fCenter.addObserver(&order, cNotification_UploadDone,
                        [&](const Notification&) { doneThread = std::this_thread::get_id(); });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        uploadThread = std::this_thread::get_id();
        fCenter.post(cNotification_UploadStart, nullptr, item);
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(doneThread, uploadThread);
    EXPECT_EQ(posts(), (std::vector<std::string>{cNotification_UploadDone, cNotification_UploadSuccess}));
    EXPECT_TRUE(item->localItem.empty()) << "the item was emptied after the post returned";
    ASSERT_EQ(fServer->requestCount(), 1u);
    const auto request = fServer->requests()[0];
    EXPECT_EQ(request.operation, "photo upload");
    EXPECT_EQ(request.field("event"), "Gala");
    EXPECT_EQ(TestSupport::readWholeFile(fSandbox.file("service/Gala/Smith/IMG_7.jpg")), "seven");
    EXPECT_TRUE(
        fLog.contains("Inside HttpController => doRunHttpUploaderWithInfo:... Start to sendSynchronousRequest"));
    EXPECT_TRUE(fLog.contains("EXITING  HttpController => doRunHttpUploaderWithInfo:..."));
    EXPECT_TRUE(fLog.contains("Inside HttpController => handleNotification_UploadSuccess:..."));
}

TEST_F(UploadChainTest, StartNotificationsWithoutAnItemAreDropped)
{
    fCenter.post(cNotification_UploadStart, nullptr, nullptr);
    EXPECT_TRUE(fLog.contains("Unknown Notification Info inside HttpController::handleNotification_UploadStart:"));
    fCenter.post(cNotification_UploadStart, nullptr, std::make_shared<NotificationInfo>());
    EXPECT_TRUE(fLog.contains("Unknown Class Type Found: [UploadStartNotification]"));
    EXPECT_TRUE(posts().empty());
    EXPECT_EQ(fServer->requestCount(), 0u);
}
