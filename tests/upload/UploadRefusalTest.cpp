#include "UploadTestSupport.h"

#include "StallingServer.h"
#include "upload/HttpTransfer.h"
#include "upload/MultipartBody.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace UploadTesting;
using TestSupport::waitFor;
using namespace std::chrono_literals;

// A photo or movie that cannot be read is refused before anything is sent,
// so the failure path moves it aside instead of filing it as uploaded.
class UploadRefusalTest : public UploadTest {
protected:
    void expectRefused(const std::shared_ptr<UploadResultInfo>& result, const std::string& naming,
                       const std::string& why)
    {
        ASSERT_TRUE(result);
        EXPECT_EQ(result->httpOurCustomStatus, "Warning");
        ASSERT_TRUE(result->httpOurCustomMessage);
        EXPECT_NE(result->httpOurCustomMessage->find(naming), std::string::npos) << *result->httpOurCustomMessage;
        EXPECT_NE(result->httpOurCustomMessage->find(why), std::string::npos) << *result->httpOurCustomMessage;
        EXPECT_FALSE(result->httpStatusCode);
        EXPECT_FALSE(result->httpError);
        EXPECT_FALSE(result->httpReturnData);
        EXPECT_EQ(posts(), (std::vector<std::string>{cNotification_UploadDone, cNotification_UploadFail}));
        EXPECT_EQ(fServer->requestCount(), 0u) << "no request is sent";
    }
    TestSupport::LogCapture fLog;
};

TEST_F(UploadRefusalTest, AMissingPhotoIsRefusedAndBothDebugCopiesAreWritten)
{
    const std::string path = fSandbox.file("Source/Smith/gone.jpg");
    auto item = itemFor(path);
    const auto result = upload(item);
    expectRefused(result, path, "No such file or directory");
    EXPECT_TRUE(fLog.contains("Error in Reading the Contents of file at path:\n" + path));
    const std::string prefix = TestSupport::readWholeFile(logRoot() + "/postBodyData.txt");
    EXPECT_TRUE(prefix.ends_with("filename=\"gone.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n")) << prefix;
    EXPECT_EQ(TestSupport::readWholeFile(logRoot() + "/postBodyDataWithImage.txt"), prefix);
    EXPECT_TRUE(item->edFileName.empty()) << "the item is emptied as after any upload";
}

TEST_F(UploadRefusalTest, AFolderInPlaceOfThePhotoIsRefused)
{
    std::filesystem::create_directories(fSandbox.file("Source/Smith/folder.jpg"));
    expectRefused(upload(itemFor(fSandbox.file("Source/Smith/folder.jpg"))), "folder.jpg", "not a regular file");
}

TEST_F(UploadRefusalTest, AnUnreadableMovieRefusesThePhotoToo)
{
    const std::string movie = fSandbox.file("Movies/clip.mov");
    std::filesystem::create_directories(movie); // exists, but cannot be read as a file
    auto item = itemFor(photo("clip.jpg", "J"));
    item->edMuxedMovieName = movie;
    expectRefused(upload(item), movie, "not a regular file");
    EXPECT_TRUE(fLog.contains("Error in Reading the Contents of MOVIE file at path:\n" + movie));
    const std::string dump = TestSupport::readWholeFile(logRoot() + "/postBodyDataWithImage.txt");
    EXPECT_TRUE(dump.ends_with("J\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"vidfile\"; "
                               "filename=\"clip.mov\"\r\nContent-Type: video/quicktime\r\n\r\n"))
        << dump;
}

TEST_F(UploadRefusalTest, APhotoWithoutReadPermissionIsRefused)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string path = photo("locked.jpg", "L");
    ::chmod(path.c_str(), 0);
    expectRefused(upload(itemFor(path)), path, "Permission denied");
}

// The transfer reads the photo while it sends it; a file that grows or
// shrinks meanwhile stops the request.
TEST_F(UploadRefusalTest, AFileThatChangesSizeWhileSentStopsTheTransfer)
{
    for (const bool grow : {true, false}) {
        const std::string path = photo(grow ? "growing.jpg" : "shrinking.jpg", std::string(2 * 1024 * 1024, 'x'));
        MultipartBody body;
        body.addField("username", "kiosk7");
        body.addFilePartHeader("imgfile", "growing.jpg", "image/jpeg");
        std::string error;
        ASSERT_TRUE(body.addFileContents(path, &error)) << error;
        body.close();
        if (grow)
            std::ofstream(path, std::ios::app) << "more";
        else
            ASSERT_EQ(::truncate(path.c_str(), 1024), 0);

        const size_t before = fServer->requestCount();
        const auto result = HttpTransfer::post(
            fServer->url(), body, [] { return false; }, "stopped");
        ASSERT_TRUE(body.readFailed());
        EXPECT_NE(body.readError().find(path), std::string::npos) << body.readError();
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->localizedDescription, body.readError());
        EXPECT_FALSE(result.body);
        ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == before + 1; }, 10s));
        EXPECT_EQ(fServer->requests().back().outcome, "incomplete") << "the service never got a whole request";
    }
}

// Through the uploader: a photo that grows while it is sent is still being
// written. It is not refused (that would move it into the Problem Folder);
// the upload fails as a plain failure does, so the photo stays where it is.
TEST_F(UploadRefusalTest, APhotoThatGrowsWhileSentFailsWithoutRefusal)
{
    StallingServer service(256 * 1024);
    store().setString(PrefKey::OrvURL, service.url());
    const std::string path = photo("growing.jpg", std::string(32 * 1024 * 1024, 'x'));
    std::thread writer([&] {
        if (service.waitUntilStalled(30s))
            std::ofstream(path, std::ios::app) << "the rest of the photo";
        service.resume();
    });
    const auto result = upload(itemFor(path));
    writer.join();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "FAIL");
    ASSERT_TRUE(result->httpOurCustomMessage);
    EXPECT_NE(result->httpOurCustomMessage->find("changed while it was sent"), std::string::npos);
    EXPECT_FALSE(result->httpStatusCode);
    EXPECT_FALSE(result->httpError);
    EXPECT_EQ(posts(), (std::vector<std::string>{cNotification_UploadDone, cNotification_UploadFail}));
    EXPECT_TRUE(fLog.contains("changed size while it was sent"));
}
