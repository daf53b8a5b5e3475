#include "ScanPassRunner.h"
#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/ConsoleLog.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ExifImage.h"
#include "scan/PhotoDates.h"
#include "scan/PhotoMetaData.h"
#include "scan/ReadinessCheck.h"
#include "scan/ScanPass.h"
#include "scan/UploadItemInfo.h"

#include "../app/RecordingPresenter.h"
#include "TestSupport.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>

namespace fs = std::filesystem;
using D = PlistValue::Dictionary;

// The photo a pass chooses is read once: the readiness check's read of its
// block and Exif serves the upload item and the capture date, as long as the
// photo is still as it was when it was read.
class ChosenPhotoReadTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        resetProcessFlags();
        ScanPass::resetDoQuarnel();
        storeStation(source(), mirror());
        UserDefaults::standard().setString(PrefKey::OrvFuseAction, "upload.upload");
        UserDefaults::standard().setBool(PrefKey::UploadMovie, false);
        UserDefaults::standard().setBool(PrefKey::AutoSynchronize, false);
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        fCenter.addObserver(this, cNotification_PrepareUploadStart,
                            [this](const Notification& n) { fItems.push_back(*n.info<UploadItemInfo>()); });
        ConsoleLog::setObserver([this](const std::string& line) {
            std::function<void(const std::string&)> hook;
            {
                std::lock_guard lock(fMutex);
                fLines.push_back(line);
                hook = fHook;
            }
            if (hook)
                hook(line);
        });
    }
    void TearDown() override
    {
        ConsoleLog::setObserver({});
        fController.reset();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    std::optional<UploadItemInfo> pass()
    {
        fItems.clear();
        ScanPassRunner::runPass(*fController, source(), mirror());
        resetProcessFlags();
        if (fItems.empty())
            return std::nullopt;
        return fItems.front();
    }
    static PhotoWriter::PhotoSpec recipe(const std::string& originalPath, const std::string& taken)
    {
        PhotoWriter::PhotoSpec photoSpec;
        photoSpec.metaData = PlistValue::dictionary(
            D{{"OriginalPath", PlistValue::string(originalPath)},
              {"ZV_emailsForUpload", PlistValue::array({PlistValue::string("family@example.org")})}});
        photoSpec.dateTimeOriginal = taken;
        return photoSpec;
    }
    size_t linesWith(const std::string& text)
    {
        std::lock_guard lock(fMutex);
        size_t n = 0;
        for (const auto& line : fLines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    void onLogLine(std::function<void(const std::string&)> hook)
    {
        std::lock_guard lock(fMutex);
        fHook = std::move(hook);
    }

    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<AppController> fController;
    std::vector<UploadItemInfo> fItems;
    std::mutex fMutex;
    std::vector<std::string> fLines;
    std::function<void(const std::string&)> fHook;
};

TEST_F(ChosenPhotoReadTest, TheCheckedReadServesTheItemAndTheCaptureDate)
{
    const std::string path = source() + "/Smith/IMG_1.jpg";
    fs::create_directories(source() + "/Smith");
    ASSERT_TRUE(PhotoWriter::writePhoto(path, recipe("/orig/IMG_1.JPG", "2011:05:17 02:30:00")));
    auto item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edOriginalPath, "/orig/IMG_1.JPG");
    EXPECT_EQ(item->edCaptureTime, "2011-05-17 02:30:00");
    EXPECT_EQ(linesWith("getQuonMetaDataFromJpeg => PhotoMetaData"), 1u) << "the block was read once";
    EXPECT_EQ(linesWith("getQuonMetaDataFromPng found that"), 1u);

    // With a fuse action that sends e-mail addresses, they come from the same read.
    fs::remove(path);
    ASSERT_TRUE(PhotoWriter::writePhoto(path, recipe("/orig/IMG_1.JPG", "2011:05:17 02:30:00")));
    UserDefaults::standard().setString(PrefKey::OrvFuseAction, "upload.pellam");
    item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edEmails, "family@example.org");
    EXPECT_EQ(item->edCaptureTime, "2011-05-17 02:30:00");
}

TEST_F(ChosenPhotoReadTest, APhotoRewrittenAfterItsCheckIsReadAgain)
{
    const std::string path = source() + "/Smith/IMG_2.jpg";
    fs::create_directories(source() + "/Smith");
    ASSERT_TRUE(PhotoWriter::writePhoto(path, recipe("/first/IMG_2.JPG", "2011:05:17 02:30:00")));
    // The station writes the photo again right after the check has read it.
    std::atomic<bool> rewritten{false};
    onLogLine([&](const std::string& line) {
        if (line.find("getQuonMetaDataFromJpeg => PhotoMetaData") == std::string::npos || rewritten.exchange(true))
            return;
        EXPECT_TRUE(PhotoWriter::writePhoto(path, recipe("/second/rewritten/IMG_2.JPG", "2012:06:18 03:40:00")));
    });
    auto item = pass();
    onLogLine({});
    ASSERT_TRUE(rewritten.load());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edOriginalPath, "/second/rewritten/IMG_2.JPG") << "the item holds what the photo holds now";
    EXPECT_EQ(item->edCaptureTime, "2012-06-18 03:40:00");
    EXPECT_EQ(linesWith("getQuonMetaDataFromJpeg => PhotoMetaData"), 2u);
}

TEST(ChosenPhotoRead, AReadImageGivesWhatTheFileGives)
{
    TestSupport::TempDir sandbox;
    const std::string path = sandbox.file("IMG_3.jpg");
    PhotoWriter::PhotoSpec photoSpec;
    photoSpec.metaData = PlistValue::dictionary(D{{"OriginalPath", PlistValue::string("/orig/IMG_3.JPG")}});
    photoSpec.dateTimeOriginal = "2010:09:12 14:33:10";
    ASSERT_TRUE(PhotoWriter::writePhoto(path, photoSpec));
    const ExifImage image(path);
    EXPECT_EQ(getQuonMetaDataFromJpeg(image, path), getQuonMetaDataFromJpeg(path));
    EXPECT_EQ(GetInternalPictureCaptureDate(image, kPictureExifDictionary, kPictureDateTimeOriginal),
              GetInternalPictureCaptureDate(path, false));
    EXPECT_EQ(GetAndUpdateFileCreationDate(path, true, false, &image), GetAndUpdateFileCreationDate(path, true, false));
    EXPECT_TRUE(GetAndUpdateFileCreationDate(path, true, false, &image).has_value());

    // A check that read the file hands on what it read, with the file's state then.
    SettleTracker tracker;
    ReadinessCheck check(tracker, {});
    fs::create_directories(sandbox.file("Smith"));
    const std::string inFolder = sandbox.file("Smith/IMG_3.jpg");
    fs::copy_file(path, inFolder);
    const ReadinessCheck::Verdict verdict = check.check("Smith/IMG_3.jpg", inFolder, false);
    EXPECT_EQ(verdict.kind, ReadinessCheck::Kind::Ready);
    ASSERT_TRUE(verdict.exif);
    EXPECT_EQ(verdict.readIdentity, SettleTracker::Identity::ofPath(inFolder));
    EXPECT_EQ(GetInternalPictureCaptureDate(*verdict.exif, kPictureExifDictionary, kPictureDateTimeOriginal),
              GetInternalPictureCaptureDate(path, false));
}
