// The running chain against the reference web service: scan, upload,
// classification and filing, one photo after the other.

#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "filing/PhotoRetryPauses.h"
#include "filing/TransportBackoff.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ScanPass.h"

#include "../app/RecordingPresenter.h"
#include "ChainTestSupport.h"
#include "RefServer.h"
#include "TestSupport.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using TestSupport::waitFor;
namespace fs = std::filesystem;
using Field = StatusPresenter::Field;

class UploadChainEndToEndTest : public StoreSandboxTest {
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
        store().setBool(PrefKey::UploadMovie, false);
        // Only the chain itself may start passes here: no timer.
        store().setBool(PrefKey::AutoSynchronize, false);

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
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    std::string photo(const std::string& relative) { return ChainTestSupport::writeReadyPhoto(source(), relative); }
    // Photo uploads the service received, by the name of their first file.
    std::map<std::string, int> received() const { return ChainTestSupport::uploadsByName(*fServer); }
    bool idle() const { return !gStartedUploadProcess && !gIsScanning; }
    // A service that answers every upload of the photo named so the same way.
    void answerAlways(const std::string& fileName, RefBehaviour behaviour)
    {
        fServer->stop();
        RefServer::Options options;
        options.root = fSandbox.file("service");
        options.byFileName[fileName] = std::move(behaviour);
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
        store().setString(PrefKey::OrvURL, fServer->url());
    }
    std::string problem(const std::string& relative) const { return fSandbox.file("Problem Folder/" + relative); }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<RefServer> fServer;
    std::unique_ptr<AppController> fController;
    TestSupport::LogCapture fLog;
};

TEST_F(UploadChainEndToEndTest, PhotosUploadOneAfterTheOtherAndLandInTheMirror)
{
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    photo("Brown/IMG_3.jpg");
    createFileWithContents(source() + "/Adams/IMG_1.mov", "movie one");
    fController->ibUserClickedOnSynchronize(nullptr);

    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Brown/IMG_3.jpg") && idle(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(fs::exists(mirror() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(fs::exists(mirror() + "/Adams/IMG_2.jpg"));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.mov"), "movie one") << "the movie goes with its photo";
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    // Each photo exactly once, in name order.
    const auto requests = fServer->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].files.front().filename, "IMG_1.jpg");
    EXPECT_EQ(requests[1].files.front().filename, "IMG_2.jpg");
    EXPECT_EQ(requests[2].files.front().filename, "IMG_3.jpg");
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(Field::ProcessLine) == "Waiting For New Images..."; }));
}

TEST_F(UploadChainEndToEndTest, PauseDuringAnUploadFilesThePhotoAndStartsNothingMore)
{
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    RefBehaviour slow;
    slow.delayMs = 1500;
    fServer->script({slow});
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return gStartedUploadProcess.load(); }));
    fController->ibClickedOnHalt(nullptr);

    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(15)));
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(Field::ProcessLine) == "Process Paused..."; }));
    EXPECT_EQ(fPresenter.buttonTitle(), "Resume");
    EXPECT_EQ(fServer->requestCount(), 1u);
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_2.jpg"));

    fController->ibClickedOnHalt(nullptr); // resume
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg") && idle(); }, std::chrono::seconds(15)));
    EXPECT_EQ(fServer->requestCount(), 2u);
}

TEST_F(UploadChainEndToEndTest, RefusedPhotosGoToTheProblemFolderAndTheChainGoesOn)
{
    photo("Adams/IMG_1.jpg");
    createFileWithContents(source() + "/Adams/IMG_1.mov", "movie");
    photo("Adams/IMG_2.jpg");
    photo("Adams/IMG_3.jpg");
    RefBehaviour notFound;
    notFound.http = 404;
    RefBehaviour warning;
    warning.status = "Warning";
    warning.message = "Bad sitting";
    fServer->script({notFound, warning});
    fController->ibUserClickedOnSynchronize(nullptr);

    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_3.jpg") && idle(); }, std::chrono::seconds(30)));
    // The Problem Folder and its client folder did not exist: they are made.
    EXPECT_TRUE(fs::exists(problem("Adams/IMG_1.jpg")));
    EXPECT_TRUE(fs::exists(problem("Adams/IMG_1.mov")));
    EXPECT_TRUE(fs::exists(problem("Adams/IMG_2.jpg")));
    EXPECT_EQ(fServer->requestCount(), 3u);
}

TEST_F(UploadChainEndToEndTest, AnErrorReplyStopsTheChainUntilTheNextRequest)
{
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    RefBehaviour error;
    error.status = "ERROR";
    error.message = "Event closed";
    fServer->script({error});
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == 1 && idle(); }, std::chrono::seconds(15)));
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(Field::ProcessLine) == "Event closed"; }));
    EXPECT_TRUE(fPresenter.fieldIsError(Field::ProcessLine));
    // Nothing more is sent by itself; the photo is still there.
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(fServer->requestCount(), 1u);
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg"));

    // The next request carries on with the same photo.
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg") && idle(); }, std::chrono::seconds(15)));
    EXPECT_EQ(received()["IMG_1.jpg"], 2);
}

TEST_F(UploadChainEndToEndTest, AFailedPhotoStaysAndIsTriedAgain)
{
    photo("Adams/IMG_1.jpg");
    RefBehaviour fail;
    fail.status = "FAIL";
    fail.message = "Try later";
    fServer->script({fail});
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(15)));
    EXPECT_EQ(received()["IMG_1.jpg"], 2);
    EXPECT_FALSE(fs::exists(problem("Adams/IMG_1.jpg")));
}

TEST_F(UploadChainEndToEndTest, ASecondRefusalOfTheSameNameKeepsBoth)
{
    createFileWithContents(problem("Adams/IMG_1.jpg"), "refused yesterday");
    photo("Adams/IMG_1.jpg");
    RefBehaviour warning;
    warning.status = "Warning";
    warning.message = "Bad sitting";
    fServer->script({warning});
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(
        waitFor([&] { return !fs::exists(source() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(15)));
    EXPECT_EQ(readWholeFile(problem("Adams/IMG_1.jpg")), "refused yesterday");
    int stamped = 0;
    for (const auto& e : fs::directory_iterator(problem("Adams")))
        stamped += e.path().filename().string().rfind("IMG_1 ", 0) == 0;
    EXPECT_EQ(stamped, 1);
    EXPECT_EQ(fServer->requestCount(), 1u) << "sent once, not on every pass";
}

TEST_F(UploadChainEndToEndTest, AnUnreachableServiceIsTriedWithGrowingPauses)
{
    photo("Adams/IMG_1.jpg");
    RefBehaviour drop;
    drop.drop = true;
    fServer->script({drop, drop, drop});
    const auto start = std::chrono::steady_clock::now();
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(30)));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(received()["IMG_1.jpg"], 4);
    // Pauses of 1, 2 and 4 seconds between the four attempts.
    EXPECT_GE(elapsed, std::chrono::seconds(7));
    EXPECT_TRUE(fLog.contains("(in 4 s)"));
    EXPECT_TRUE(fLog.contains("Next attempt at"));
    // The answer reset the pause.
    EXPECT_EQ(TransportBackoff::nextDelaySeconds(), 1);
}

TEST_F(UploadChainEndToEndTest, APhotoTheServiceKeepsRefusingWaitsGrowingPausesWhileTheNextIsFiled)
{
    RefBehaviour fail;
    fail.status = "FAIL";
    fail.message = "Try later";
    answerAlways("IMG_1.jpg", fail);
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    const auto start = std::chrono::steady_clock::now();
    fController->ibUserClickedOnSynchronize(nullptr);

    // The photo behind it is not held up.
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg"); }, std::chrono::seconds(15)));
    EXPECT_TRUE(waitFor([&] {
        return fPresenter.field(Field::ProcessLine).find("sent again at ") != std::string::npos;
    })) << fPresenter.field(Field::ProcessLine);
    // The refused one comes back by itself (no timer, no folder event), each time after a longer pause.
    ASSERT_TRUE(
        waitFor([&] { return received()["IMG_1.jpg"] >= 3 && fLog.contains("(in 4 s)"); }, std::chrono::seconds(30)));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int attempts = received()["IMG_1.jpg"];
    EXPECT_LE(attempts, 1 + static_cast<int>(elapsed)) << "at most one attempt a second";
    EXPECT_TRUE(fLog.contains("Adams/IMG_1.jpg was not taken by the web service (Try later); next attempt at "));
    EXPECT_TRUE(fLog.contains("(in 1 s)"));
    EXPECT_TRUE(fLog.contains("(in 2 s)"));
    EXPECT_TRUE(fLog.contains("A photo that waited may be ready now: requesting a scan"));
    EXPECT_EQ(received()["IMG_2.jpg"], 1);
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg")) << "a refused photo stays to be tried again";
    EXPECT_FALSE(fs::exists(problem("Adams/IMG_1.jpg")));

    // What quon-ctl status shows.
    const auto next = fController->photoRetryPauses().nextAttempt();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->photoPath, source() + "/Adams/IMG_1.jpg");
    EXPECT_GT(next->when, std::chrono::system_clock::now());
}

TEST_F(UploadChainEndToEndTest, EmptyAndHtmlRepliesAreRefusalsWithTheirOwnPauses)
{
    RefBehaviour empty;
    empty.body = "";
    RefBehaviour html;
    html.body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Bad Gateway</title></head></html>";
    fServer->stop();
    RefServer::Options options;
    options.root = fSandbox.file("service");
    options.byFileName = {{"IMG_1.jpg", empty}, {"IMG_2.jpg", html}};
    fServer = std::make_unique<RefServer>(options);
    ASSERT_TRUE(fServer->start());
    store().setString(PrefKey::OrvURL, fServer->url());
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    photo("Adams/IMG_3.jpg");
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_3.jpg"); }, std::chrono::seconds(15)));
    ASSERT_TRUE(waitFor([&] { return received()["IMG_1.jpg"] >= 2 && received()["IMG_2.jpg"] >= 2 && idle(); },
                        std::chrono::seconds(15)));
    EXPECT_TRUE(fLog.contains("Adams/IMG_1.jpg was not taken by the web service"));
    EXPECT_TRUE(fLog.contains("Adams/IMG_2.jpg was not taken by the web service"));
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_2.jpg"));
    EXPECT_EQ(received()["IMG_3.jpg"], 1);
}

TEST_F(UploadChainEndToEndTest, AnAcceptedPhotoThatCannotBeFiledIsNotSentAgainAndIsFiledLater)
{
    photo("Adams/IMG_1.jpg");
    createFileWithContents(source() + "/Adams/IMG_1.mov", "movie one");
    photo("Brown/IMG_2.jpg");
    // A file where the client folder of the mirror should be.
    createFileWithContents(mirror() + "/Adams", "in the way");
    fController->ibUserClickedOnSynchronize(nullptr);

    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Brown/IMG_2.jpg"); }, std::chrono::seconds(15)));
    // Its move is tried again, with growing pauses, and said so in red.
    ASSERT_TRUE(waitFor(
        [&] {
            return fLog.count("Adams/IMG_1.jpg was uploaded but cannot be filed into the Mirror Site Folder") >= 3 &&
                fPresenter.field(Field::ProcessLine).find("cannot be filed") != std::string::npos &&
                fPresenter.fieldIsError(Field::ProcessLine);
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(fLog.contains("It is not sent again; next try to file it at "));
    EXPECT_EQ(received()["IMG_1.jpg"], 1) << "the service has it: never sent again";
    EXPECT_EQ(fPresenter.alerts(), std::vector<std::string>{"An uploaded photo cannot be filed"}) << "one alert";
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.mov"));
    ASSERT_TRUE(fController->photoRetryPauses().nextAttempt());

    // The operator clears the way: the photo and its movie are filed, still without another upload.
    fs::remove(mirror() + "/Adams");
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg"); }, std::chrono::seconds(90)));
    EXPECT_TRUE(waitFor([&] { return readWholeFile(mirror() + "/Adams/IMG_1.mov") == "movie one"; }));
    EXPECT_TRUE(waitFor([&] {
        return fPresenter.field(Field::ProcessLine) == "Adams/IMG_1.jpg is filed into the Mirror Site Folder now";
    }));
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
    EXPECT_FALSE(fController->photoRetryPauses().nextAttempt());
}

TEST_F(UploadChainEndToEndTest, ARefusedPhotoThatCannotReachTheProblemFolderIsNotSentAgain)
{
    photo("Adams/IMG_1.jpg");
    RefBehaviour notFound;
    notFound.http = 404;
    answerAlways("IMG_1.jpg", notFound);
    // A file where the Problem Folder should be.
    createFileWithContents(fSandbox.file("Problem Folder"), "in the way");
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(
        waitFor([&] { return fLog.count("cannot be filed into the Problem Folder") >= 2; }, std::chrono::seconds(20)));
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
    fs::remove(fSandbox.file("Problem Folder"));
    ASSERT_TRUE(waitFor([&] { return fs::exists(problem("Adams/IMG_1.jpg")); }, std::chrono::seconds(90)));
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
}

// Photos the station drops while the uploader idles are picked up by the
// folder watcher, with no timer and no operator.
class WatchedChainTest : public UploadChainEndToEndTest {
protected:
    void waitForWatcher()
    {
        std::atomic<bool> started{false}; // set on the watcher's thread
        int owner = 0;
        fCenter.addObserver(&owner, cNotification_WatcherStarted, [&](const Notification&) { started = true; });
        fController->ibUserClickedOnSynchronize(nullptr);
        ASSERT_TRUE(waitFor([&] { return started && idle(); }, std::chrono::seconds(10)));
        fCenter.removeObserver(&owner);
    }
    // Written beside the folder, then renamed in, as a finished photo arrives.
    void dropPhoto(const std::string& relative)
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/" + relative)}});
        const std::string staging = fSandbox.file("staging/" + fs::path(relative).filename().string());
        fs::create_directories(fs::path(staging).parent_path());
        ASSERT_TRUE(PhotoWriter::writePhoto(staging, recipe));
        fs::create_directories(fs::path(source() + "/" + relative).parent_path());
        fs::rename(staging, source() + "/" + relative);
    }
};

TEST_F(WatchedChainTest, APhotoDroppedAfterAnEmptyPassIsUploaded)
{
    waitForWatcher();
    dropPhoto("Adams/IMG_1.jpg");
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(10)));
    EXPECT_EQ(received()["IMG_1.jpg"], 1);
}

TEST_F(WatchedChainTest, TenPhotosCopiedAtOnceEachArriveOnce)
{
    waitForWatcher();
    fs::create_directories(fSandbox.file("batch/Chen"));
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = PlistValue::dictionary();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(
            PhotoWriter::writePhoto(fSandbox.file("batch/Chen/IMG_" + std::to_string(10 + i) + ".jpg"), recipe));
    // A whole client folder arrives in one move.
    fs::rename(fSandbox.file("batch/Chen"), source() + "/Chen");
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() >= 10 && fs::is_empty(source() + "/Chen") && idle(); },
                        std::chrono::seconds(30)));
    const auto names = received();
    EXPECT_EQ(names.size(), 10u);
    for (const auto& [name, count] : names)
        EXPECT_EQ(count, 1) << name;
}

TEST_F(UploadChainEndToEndTest, ScanRequestsFromManyThreadsLoseNoWakeUpAndSendNothingTwice)
{
    for (int i = 0; i < 12; ++i)
        photo("Client" + std::to_string(i % 3) + "/IMG_" + std::to_string(100 + i) + ".jpg");
    std::atomic<bool> stop{false};
    std::vector<std::thread> requesters;
    for (int t = 0; t < 6; ++t)
        requesters.emplace_back([&, t] {
            for (int i = 0; i < 40 && !stop; ++i) {
                if (t % 2)
                    fCenter.post(cNotification_WatcherItemChanged);
                else
                    fController->application_openFile(source());
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + (i * 7 + t) % 20));
            }
        });
    const bool done = waitFor([&] { return fServer->requestCount() >= 12 && idle() && received().size() == 12; },
                              std::chrono::seconds(60));
    stop = true;
    for (auto& t : requesters)
        t.join();
    ASSERT_TRUE(done);
    ASSERT_TRUE(waitFor([&] { return idle(); }, std::chrono::seconds(10)));
    for (const auto& [name, count] : received())
        EXPECT_EQ(count, 1) << name;
    int filed = 0;
    for (const auto& e : fs::recursive_directory_iterator(mirror()))
        filed += e.is_regular_file();
    EXPECT_EQ(filed, 12);
}

TEST_F(UploadChainEndToEndTest, AFailureWithoutEmailAddressesGoesToTheProblemFolder)
{
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    RefBehaviour noEmail;
    noEmail.status = "FAIL";
    noEmail.message = "no email addresses sent";
    fServer->script({noEmail});
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg") && idle(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(fs::exists(problem("Adams/IMG_1.jpg")));
    EXPECT_EQ(fServer->requestCount(), 2u);
}

TEST_F(UploadChainEndToEndTest, GoingOnAfterAnErrorWaitsAndTriesTheSamePhotoAgain)
{
    store().setBool(PrefKey::DoContinueAfterFailedUpload, true);
    store().setObject(PrefKey::DoContinueAfterFailedUploadSecs, PlistValue::real(1.5));
    photo("Adams/IMG_1.jpg");
    RefBehaviour error;
    error.status = "ERROR";
    error.message = "Busy";
    fServer->script({error});
    fController->ibUserClickedOnSynchronize(nullptr);
    EXPECT_TRUE(waitFor(
        [&] { return fPresenter.field(Field::ProcessLine).find("Busy\nWill Re-Try in 1.50 seconds (at: ") == 0; }));
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(20)));
    EXPECT_EQ(received()["IMG_1.jpg"], 2) << "an error does not halt while going on after failures";
}

TEST_F(UploadChainEndToEndTest, StoppingTheControllerMidUploadEndsEveryThreadAndKeepsThePhoto)
{
    RefBehaviour hang;
    hang.hang = true;
    fServer->script({hang});
    store().setObject(PrefKey::UploadTimeOut, PlistValue::real(600)); // the watchdog must not step in
    const std::string path = photo("Adams/IMG_1.jpg");
    fController->ibUserClickedOnSynchronize(nullptr);
    ASSERT_TRUE(waitFor([&] { return fLog.contains("Start to sendSynchronousRequest"); }, std::chrono::seconds(30)));
    EXPECT_GT(fController->workerThreads().liveCount(), 0);

    // As a test or a benchmark ends: the transfer is aborted and every thread waited for.
    fController->stopWorkerThreads();
    EXPECT_EQ(fController->workerThreads().liveCount(), 0);
    EXPECT_TRUE(fs::exists(path)) << "an aborted upload leaves the photo to be tried again";
    EXPECT_FALSE(fs::exists(mirror() + "/Adams/IMG_1.jpg"));
    EXPECT_FALSE(fs::exists(problem("Adams/IMG_1.jpg")));
}
