// Photos that are not whole yet, against the running station: its watcher,
// its scan, the reference web service and the filing.

#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "filing/TransportBackoff.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ScanPass.h"

#include "../app/RecordingPresenter.h"
#include "../upload/StallingServer.h"
#include "RefServer.h"
#include "TestSupport.h"

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ScanReadinessEndToEndTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        resetProcessFlags();
        ScanPass::resetDoQuarnel();
        TransportBackoff::reset();
        FactoryDefaults::setupFactoryDefaults(std::string(QUON_SOURCE_DIR) + "/resources/FactoryDefault.plist");
        RefServer::Options options;
        options.root = fSandbox.file("service");
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;

        storeStation(source(), mirror());
        store().setString(PrefKey::OrvURL, fServer->url());
        store().setString(PrefKey::OrvFuseAction, "upload.upload");
        store().setBool(PrefKey::UploadMovie, false);
        // No rescan timer: only the watcher and the scan's own wake-ups start passes.
        store().setBool(PrefKey::AutoSynchronize, false);

        fCenter.addObserver(this, cNotification_WatcherStarted, [this](const Notification&) { fWatching = true; });
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        fController->setCommandSocketPath(fSandbox.file("ctl.sock"));
        fController->setTerminateHandler([] {});
        fController->awakeFromNib();
        fController->applicationWillFinishLaunching();
    }
    void TearDown() override
    {
        fServer->stop();
        fController.reset();
        fCenter.removeObserver(this);
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    // A sample photo as the station writes it, with its block.
    std::string samplePhoto()
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/IMG_1.jpg")}});
        const std::string staging = fSandbox.file("staging.jpg");
        EXPECT_TRUE(PhotoWriter::writePhoto(staging, recipe));
        const std::string bytes = readWholeFile(staging);
        fs::remove(staging);
        return bytes;
    }
    // Starts the station on an empty folder and waits for its watcher.
    void startWatching()
    {
        fs::create_directories(source() + "/Adams");
        fController->ibUserClickedOnSynchronize(nullptr);
        ASSERT_TRUE(waitFor([&] { return fWatching.load() && idle(); }, 15s));
    }
    bool idle() const { return !gStartedUploadProcess && !gIsScanning; }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<RefServer> fServer;
    std::unique_ptr<AppController> fController;
    std::atomic<bool> fWatching{false};
    TestSupport::LogCapture fLog;
};

// Copied in over a few seconds, the way a slow card reader or a camera tether
// writes: every chunk ends with a close, and each close starts a fresh look.
TEST_F(ScanReadinessEndToEndTest, APhotoCopiedInSlowlyArrivesWholeAndOnce)
{
    startWatching();
    const std::string whole = samplePhoto();
    const std::string target = source() + "/Adams/IMG_1.jpg";
    constexpr int kChunks = 16;
    std::atomic<bool> copied{false};
    std::thread copier([&] {
        for (int i = 0; i < kChunks; ++i) {
            const size_t from = whole.size() * i / kChunks, to = whole.size() * (i + 1) / kChunks;
            const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, whole.data() + from, to - from) != static_cast<ssize_t>(to - from))
                ADD_FAILURE() << "cannot write " << target;
            ::close(fd);
            std::this_thread::sleep_for(250ms);
        }
        copied = true;
    });
    const bool filed =
        waitFor([&] { return copied.load() && fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, 60s);
    copier.join();
    ASSERT_TRUE(filed);

    const auto requests = fServer->requests();
    ASSERT_EQ(requests.size(), 1u) << "sent once";
    ASSERT_EQ(requests[0].files.size(), 1u);
    EXPECT_EQ(requests[0].files[0].filename, "IMG_1.jpg");
    EXPECT_EQ(readWholeFile(fSandbox.file("service/" + requests[0].files[0].storedPath)), whole)
        << "the service got the whole photo";
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.jpg"), whole);
    EXPECT_FALSE(fs::exists(target));
}

// A movie named IMG_1.MOV is the photo's movie, sent and filed under its own
// name once it has stayed unchanged for 2 s; the scan comes back for it by
// itself (no rescan timer, and no folder event after the movie was written).
TEST_F(ScanReadinessEndToEndTest, AnUpperCaseMovieIsSentAndFiledUnderItsRealName)
{
    store().setBool(PrefKey::UploadMovie, true);
    fs::create_directories(source() + "/Adams");
    createFileWithContents(source() + "/Adams/IMG_1.jpg", samplePhoto());
    createFileWithContents(source() + "/Adams/IMG_1.MOV", "the sitting's movie");
    fController->ibUserClickedOnSynchronize(nullptr);

    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, 20s));
    const auto requests = fServer->requests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].files.size(), 2u);
    EXPECT_EQ(requests[0].files[1].field, "vidfile");
    EXPECT_EQ(requests[0].files[1].filename, "IMG_1.MOV");
    EXPECT_EQ(readWholeFile(fSandbox.file("service/" + requests[0].files[1].storedPath)), "the sitting's movie");
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.MOV"), "the sitting's movie");
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.MOV"));
}

// A photo that grows while it is sent was not whole: it stays in the source
// folder, not in the Problem Folder, and is sent once it is whole again.
TEST_F(ScanReadinessEndToEndTest, APhotoThatChangesWhileSentIsLeftForALaterPass)
{
    // Large enough that the upload is still reading it when the service stalls.
    const std::string whole = samplePhoto();
    std::string comments;
    const std::string segment = "\xFF\xFE\xFF\xFF" + std::string(0xFFFD, 'c');
    for (int i = 0; i < 512; ++i)
        comments += segment;
    const std::string big = whole.substr(0, 2) + comments + whole.substr(2);
    StallingServer service(256 * 1024);
    store().setString(PrefKey::OrvURL, service.url());
    const std::string target = source() + "/Adams/IMG_1.jpg";
    createFileWithContents(target, big);

    std::thread writer([&] {
        if (service.waitUntilStalled(30s))
            std::ofstream(target, std::ios::app | std::ios::binary) << "more of the photo";
        service.resume();
    });
    fController->ibUserClickedOnSynchronize(nullptr);
    const bool leftBehind = waitFor([&] { return fLog.contains("(still being written)") && idle(); }, 30s);
    writer.join();
    ASSERT_TRUE(leftBehind);
    EXPECT_TRUE(fLog.contains("changed size while it was sent"));
    EXPECT_EQ(fs::file_size(target), big.size() + 17) << "the photo stays where it is";
    EXPECT_FALSE(fs::exists(fSandbox.file("Problem Folder/Adams/IMG_1.jpg")));
    EXPECT_FALSE(fs::exists(mirror() + "/Adams/IMG_1.jpg"));

    // Whole again (the writer rewrote it): sent and filed.
    ASSERT_TRUE(waitFor([&] { return fWatching.load(); }, 15s));
    createFileWithContents(target, big);
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, 30s));
    EXPECT_EQ(service.requests(), 2);
    EXPECT_EQ(fs::file_size(mirror() + "/Adams/IMG_1.jpg"), big.size());
}
