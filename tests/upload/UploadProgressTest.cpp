// A long upload tells the application how far it has come: the uploader's
// progress reports for a photo whose sending the service holds up halfway.

#include "StallingServer.h"
#include "UploadTestSupport.h"

using TestSupport::waitFor;
using namespace std::chrono_literals;

namespace {

struct ProgressReport {
    std::string photo;
    int64_t sent = 0;
    int64_t total = 0;
    double bytesPerSecond = 0;
};

class ProgressDelegate : public UploadTesting::RecordingDelegate {
public:
    void uploadProgress(const std::string& photo, int64_t sent, int64_t total, double bytesPerSecond) override
    {
        std::lock_guard lock(fMutex);
        fReports.push_back({photo, sent, total, bytesPerSecond});
    }
    std::vector<ProgressReport> reports() const
    {
        std::lock_guard lock(fMutex);
        return fReports;
    }

private:
    mutable std::mutex fMutex;
    std::vector<ProgressReport> fReports;
};

} // namespace

class UploadProgressTest : public UploadTest { };

TEST_F(UploadProgressTest, AnUploadHeldUpHalfwayReportsItsShareAndSpeed)
{
    const std::string bytes(32 * 1024 * 1024, 'x');
    const std::string path = photo("BIG.jpg", bytes);
    StallingServer service(4 * 1024 * 1024);
    store().setString(PrefKey::OrvURL, service.url());
    ProgressDelegate delegate;
    fController->setProgressDelegate(&delegate);

    std::atomic<bool> done{false};
    std::thread worker([&] {
        fController->doRunHttpUploaderWithInfo(itemFor(path));
        done = true;
    });
    ASSERT_TRUE(service.waitUntilStalled(30s));
    // Reports come at most every 2 s: let that much pass while nothing moves.
    const auto stalledAt = std::chrono::steady_clock::now();
    waitFor([&] { return std::chrono::steady_clock::now() - stalledAt >= 2500ms; }, 5s);
    EXPECT_TRUE(delegate.reports().empty()) << "no bytes moved, nothing to report";
    service.resume();
    ASSERT_TRUE(waitFor([&] { return done.load(); }, 30s));
    worker.join();

    const auto reports = delegate.reports();
    ASSERT_FALSE(reports.empty());
    const ProgressReport& first = reports.front();
    EXPECT_EQ(first.photo, path);
    EXPECT_GT(first.total, static_cast<int64_t>(bytes.size())) << "the whole body, the photo and its fields";
    EXPECT_GT(first.sent, 0);
    EXPECT_LT(first.sent, first.total) << "the first report comes while the photo is still going out";
    EXPECT_GT(first.bytesPerSecond, 0.0);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GT(reports[i].sent, reports[i - 1].sent);
    EXPECT_EQ(posts(), (std::vector<std::string>{cNotification_UploadDone, cNotification_UploadSuccess}));
}
