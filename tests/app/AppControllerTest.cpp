#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/UploadItemInfo.h"

#include "RecordingPresenter.h"
#include "TestSupport.h"

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

using TestSupport::waitFor;
using Field = StatusPresenter::Field;

// A controller brought up as at launch, on a private notification centre and
// a settings store in the sandbox with valid folders and login.
class AppControllerTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        resetProcessFlags();
        FactoryDefaults::setupFactoryDefaults(std::string(QUON_SOURCE_DIR) + "/resources/FactoryDefault.plist");
        storeStation(source(), mirror(), "Wedding 12");
        // The factory defaults start uploading by themselves; these cases start it themselves.
        store().setBool(PrefKey::AutoStartUploadAtStartup, false);
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        fController->setCommandSocketPath(fSandbox.file("ctl.sock"));
        fController->setTerminateHandler([this] { fTerminated = true; });
    }
    void TearDown() override
    {
        fController.reset();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    void launch()
    {
        fController->awakeFromNib();
        fController->applicationWillFinishLaunching();
        fController->applicationDidFinishLaunching();
    }
    // Counts the scan requests that reach the notification centre.
    void countScanRequests()
    {
        fCenter.addObserver(&fScanRequests, cNotification_ScanFolder, [this](const Notification& n) {
            if (auto info = n.info<ScanRequestInfo>())
                fLastRequest = *info;
            fScanRequests.fetch_add(1);
        });
    }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<AppController> fController;
    std::atomic<bool> fTerminated{false};
    std::atomic<int> fScanRequests{0};
    ScanRequestInfo fLastRequest;
    TestSupport::LogCapture fLog;
};

TEST_F(AppControllerTest, OnlyOneScanPassCanStartAndTheOthersAreCounted)
{
    launch();
    ASSERT_TRUE(fController->hasThreadLock());
    constexpr int kThreads = 16;
    std::atomic<int> winners{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            while (!go) { }
            if (fController->beginScanningFolder())
                winners.fetch_add(1);
        });
    go = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(winners.load(), 1);
    EXPECT_TRUE(gIsScanning);
    EXPECT_EQ(gNeedsToRescan.load(), kThreads - 1);

    // The next pass to start resets the counter.
    fController->setIsScanningFolder(false);
    EXPECT_TRUE(fController->beginScanningFolder());
    EXPECT_EQ(gNeedsToRescan.load(), 0);

    fController->setNeedsToRescan(1);
    fController->setNeedsToRescan(1);
    fController->setNeedsToRescan(1);
    EXPECT_EQ(gNeedsToRescan.load(), 3);
    fController->setNeedsToRescan(0);
    EXPECT_EQ(gNeedsToRescan.load(), 0);
    fController->setNeedsToRescan(2); // anything but YES resets
    EXPECT_EQ(gNeedsToRescan.load(), 0);
}

TEST_F(AppControllerTest, FlagSettersWorkBeforeTheLockExists)
{
    EXPECT_FALSE(fController->hasThreadLock());
    fController->setWantsToHaltProcess(true);
    fController->setDidHaltProcess(true);
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_TRUE(fController->beginScanningFolder());
    EXPECT_FALSE(fController->beginScanningFolder());
    EXPECT_EQ(gNeedsToRescan.load(), 1);
}

TEST_F(AppControllerTest, TheControllerHandlesUploadNotificationsBeforeTheUploader)
{
    launch();
    auto item = std::make_shared<UploadItemInfo>();
    item->localItem = "Smith/IMG_0001.jpg";
    item->edFileName = source() + "/Smith/IMG_0001.jpg";
    fCenter.post(cNotification_PrepareUploadStart, fController.get(), item);

    const auto lines = fLog.lines();
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    // Both lines must be there: a missing one must not pass for the right order.
    const auto controller = at("Inside AppController => handleNotification_UploadStart:");
    const auto uploader = at("Inside HttpController => handleNotification_UploadStart:");
    ASSERT_NE(controller, lines.end());
    ASSERT_NE(uploader, lines.end());
    EXPECT_LT(controller, uploader);
}

TEST_F(AppControllerTest, UploadStartShowsTheItemAndDropsASecondOne)
{
    // Only the controller observes here: no uploader takes the item.
    fController->awakeFromNib();
    auto item = std::make_shared<UploadItemInfo>();
    item->localItem = "Smith/IMG_0001.jpg";
    item->edFileName = source() + "/Smith/IMG_0001.jpg";
    store().setBool(PrefKey::ShowPreviewWhenUploading, true);
    fCenter.post(cNotification_PrepareUploadStart, fController.get(), item);
    EXPECT_TRUE(gStartedUploadProcess);
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(Field::FileName) == "Smith/IMG_0001.jpg"; }));
    EXPECT_EQ(fPresenter.field(Field::UploadStatus), "Uploading...");
    EXPECT_TRUE(waitFor([&] { return fPresenter.preview() == item->edFileName; }));
    EXPECT_TRUE(fPresenter.progressRunning);

    // While that upload runs, a second item is dropped.
    fLog.clear();
    fCenter.post(cNotification_PrepareUploadStart, fController.get(), std::make_shared<UploadItemInfo>());
    EXPECT_TRUE(fLog.contains("=> An Upload Process Already in Progress..."));
    EXPECT_FALSE(fLog.contains("handleNotification_UploadStart"));
}

TEST_F(AppControllerTest, PauseAndResumeWhileIdle)
{
    // Registered before the controller: the request is copied before its scan
    // pass can end and empty it on the scan thread.
    countScanRequests();
    launch();
    fController->ibClickedOnHalt(nullptr);
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_TRUE(waitFor([&] { return fPresenter.buttonTitle() == "Resume"; }));
    EXPECT_EQ(fPresenter.field(Field::ProcessLine), "Process Paused...");

    // A pause request from another program while idle changes nothing more.
    fController->forceProcessToPause(nullptr);
    EXPECT_EQ(fScanRequests.load(), 0);

    fController->ibClickedOnHalt(nullptr);
    EXPECT_FALSE(gWantsToHaltProcess);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_TRUE(waitFor([&] { return fPresenter.buttonTitle() == "Pause"; }));
    EXPECT_EQ(fScanRequests.load(), 1) << "resume restarts a scan at once";
    EXPECT_EQ(fLastRequest.localRootFolder, source());
    EXPECT_EQ(fLastRequest.localMirrorFolder, mirror());
    EXPECT_EQ(fLastRequest.userEnteredEventName, "Wedding 12");
}

TEST_F(AppControllerTest, APauseFromAnotherProgramWhileIdleHoldsTheNextPhotoUntilResumed)
{
    launch();
    countScanRequests();
    fController->pauseFromAnotherProgram(nullptr);
    EXPECT_TRUE(gDidHaltProcess) << "an idle station must not take the next photo after a pause";
    EXPECT_TRUE(waitFor([&] { return fPresenter.buttonTitle() == "Resume"; }));
    EXPECT_EQ(fPresenter.field(Field::ProcessLine), "Process Paused...");
    EXPECT_EQ(fScanRequests.load(), 0);

    // Asked again while paused: still paused, not toggled back.
    fController->pauseFromAnotherProgram(nullptr);
    EXPECT_TRUE(gDidHaltProcess);

    EXPECT_TRUE(fController->resumePausedProcess(nullptr));
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_TRUE(waitFor([&] { return fScanRequests.load() == 1; }));
}

TEST_F(AppControllerTest, PauseDuringAnUploadTakesEffectAfterTheItem)
{
    launch();
    countScanRequests();
    fController->setStartedUploadProcess(true);
    fController->ibClickedOnHalt(nullptr);
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_TRUE(waitFor([&] { return !fPresenter.buttonEnabled; }));
    EXPECT_EQ(fPresenter.field(Field::ProcessLine), "Pausing... Waiting for Current Item to Finish...");

    fCenter.post(cNotification_UploadDone, nullptr, nullptr);
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_TRUE(waitFor([&] { return fPresenter.buttonTitle() == "Resume" && fPresenter.buttonEnabled; }));

    auto cleanUp = std::make_shared<UploadItemInfo>();
    cleanUp->localItem = "x.jpg";
    fCenter.post(cNotification_CleanUpAfterUpload, nullptr, cleanUp);
    EXPECT_FALSE(gStartedUploadProcess);
    EXPECT_TRUE(cleanUp->localItem.empty()) << "the clean-up empties the record";
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(Field::ProcessLine) == "Process Paused..."; }));
    EXPECT_TRUE(fController->waitForWorkerThreads(5000));
    EXPECT_EQ(fScanRequests.load(), 0) << "no further photo is started";

    // "Upload now" from another program asks for a scan, but the pass ends at
    // its paused check: only Resume ends a pause.
    fController->ibClickedOnSynchronizeAgain(nullptr);
    EXPECT_TRUE(gDidHaltProcess);
    EXPECT_EQ(fScanRequests.load(), 1);
}

TEST_F(AppControllerTest, TheEndOfAnUploadRequestsTheNextScan)
{
    launch();
    countScanRequests();
    fController->setStartedUploadProcess(true);
    fCenter.post(cNotification_CleanUpAfterUpload, nullptr, std::make_shared<UploadItemInfo>());
    EXPECT_TRUE(waitFor([&] { return fScanRequests.load() == 1; }));
    // That pass ends by clearing the started flag: let it end first.
    EXPECT_TRUE(
        waitFor([&] { return fLog.contains("Scanning done - NO File found for uploading...") && !gIsScanning; }));

    // A watcher event during an upload is refused by the open-folder request.
    fController->setStartedUploadProcess(true);
    fCenter.post(cNotification_WatcherItemChanged);
    // The refusal comes before any post, so once it is logged the count is final.
    EXPECT_TRUE(waitFor([&] { return fLog.contains("An UPLOAD Process Is Still In Progress...."); }));
    EXPECT_EQ(fScanRequests.load(), 1);
}

TEST_F(AppControllerTest, SynchronizeDuringAnUploadOnlyBeepsTwice)
{
    launch();
    countScanRequests();
    fController->setStartedUploadProcess(true);
    fController->ibUserClickedOnSynchronize(nullptr);
    EXPECT_TRUE(waitFor([&] { return fPresenter.beeps == 2; }));
    EXPECT_EQ(fScanRequests.load(), 0);
    fController->ibClickedOnSynchronizeAgain(nullptr);
    EXPECT_TRUE(fLog.contains("ibClickedOnSynchronizeAgain - an upload process in progress..."));

    fController->setStartedUploadProcess(false);
    fController->ibUserClickedOnSynchronize(nullptr);
    EXPECT_EQ(fScanRequests.load(), 1);
}

TEST_F(AppControllerTest, ValidationNamesEachProblem)
{
    launch();
    struct Case {
        std::function<void()> arrange;
        std::vector<std::string> expectedLines;
        int beeps;
        std::vector<std::string> absentLines = {};
    };
    const std::string aFile = fSandbox.file("not-a-folder");
    TestSupport::createFileWithContents(aFile, "x");
    const Case cases[] = {
        {[&] { store().setString(PrefKey::UserEnteredEventName, ""); }, {"fCurEventName is BLANK??????"}, 1},
        {[&] { store().setString(PrefKey::UserEnteredEventName, "   "); }, {"fCurEventName is BLANK??????"}, 1},
        {[&] { store().setString(PrefKey::UserEnteredEventName, "TURNONCHECKBOXIFUSINGTHISOPTION"); },
         {"fCurEventName is turnOnCheckBoxIfUsingThisOption??????"},
         1},
        {[&] {
             store().setString(PrefKey::LocalMasterMirrorSiteFolder, aFile);
             store().setString(PrefKey::UserEnteredEventName, "");
         },
         {"Local Master Mirror Folder is NOT a Valid FOLDER: [" + aFile + "]"},
         1,
         {"fCurEventName"}},
        {[&] { store().removeObject(PrefKey::LocalSourceUploadFolder); },
         {"Local Source Upload Folder Has NOT Been Selected Yet..."},
         1},
        {[&] { store().setString(PrefKey::UserLoginPassword, ""); }, {"fCurPassword is NOT set or Blank??????"}, 1},
        // A relative folder would be taken from wherever the program was started.
        {[&] { store().setString(PrefKey::LocalMasterMirrorSiteFolder, "Photos/Mirror"); },
         {"The Local Master Mirror Folder (prefLocalMasterMirrorSiteFolder) must be a full path beginning with \"/\" "
          "or "
          "\"~\", not [Photos/Mirror]"},
         1,
         {"fCurEventName", "Checking for folder: [Photos/Mirror]"}},
        {[&] { store().setString(PrefKey::LocalSourceUploadFolder, "./Source"); },
         {"The Local Source Upload Folder (prefLocalSourceUploadFolder) must be a full path beginning with \"/\" or "
          "\"~\", not [./Source]"},
         1},
    };
    for (const auto& c : cases) {
        store().setString(PrefKey::LocalSourceUploadFolder, source());
        store().setString(PrefKey::LocalMasterMirrorSiteFolder, mirror());
        store().setString(PrefKey::UserEnteredEventName, "Wedding 12");
        store().setString(PrefKey::UserLoginPassword, "pw");
        c.arrange();
        fLog.clear();
        fPresenter.beeps = 0;
        EXPECT_FALSE(fController->validateUserInfoBeforeUploading(std::nullopt));
        for (const auto& line : c.expectedLines)
            EXPECT_TRUE(fLog.contains(line)) << line;
        // With a bad folder the event name is not even looked at.
        for (const auto& line : c.absentLines)
            EXPECT_FALSE(fLog.contains(line)) << line;
        EXPECT_TRUE(waitFor([&] { return fPresenter.beeps == c.beeps; })) << c.expectedLines[0];
        EXPECT_EQ(fPresenter.field(Field::ProcessLine), "Cannot start uploading: " + c.expectedLines[0]);
        EXPECT_TRUE(fPresenter.fieldIsError(Field::ProcessLine));
    }
}

TEST_F(AppControllerTest, EventNameIsTrimmedAndStoredBack)
{
    launch();
    store().setString(PrefKey::UserEnteredEventName, "  Wedding 12 ");
    EXPECT_TRUE(fController->validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_EQ(store().stringForKey(PrefKey::UserEnteredEventName), "Wedding 12");
    EXPECT_EQ(fController->currentEventName(), "Wedding 12");
    EXPECT_TRUE(fLog.contains("Needed to Remove Leading and Trailing Spaces - After  [Wedding 12]"));
}

TEST_F(AppControllerTest, MissingLoginCountsTwoErrorsAndOneBeep)
{
    // Before launch the controller has no placeholder login to fall back on.
    store().removeObject(PrefKey::UserLoginName);
    store().removeObject(PrefKey::UserLoginPassword);
    fController->awakeFromNib();
    EXPECT_FALSE(fController->validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_TRUE(fLog.contains("fCurPassword is NOT set or Blank??????"));
    EXPECT_TRUE(fLog.contains("fCurUserName is NOT set or Blank??????"));
    QCoreApplication::processEvents();
    EXPECT_EQ(fPresenter.beeps.load(), 1);
}

TEST_F(AppControllerTest, OpenFolderRequestGuards)
{
    launch();
    countScanRequests();
    EXPECT_TRUE(fController->application_openFile(fSandbox.file("nowhere")));
    EXPECT_TRUE(fLog.contains("Source Path/Item Does NOT Exist = [" + fSandbox.file("nowhere") + "]"));

    gInsideOpenFile = true;
    EXPECT_TRUE(fController->application_openFile(source()));
    EXPECT_TRUE(fLog.contains("Another Instance is ALREADY RUNNING...."));
    gInsideOpenFile = false;

    fController->setStartedUploadProcess(true);
    EXPECT_FALSE(fController->application_openFile(source()));
    EXPECT_FALSE(gInsideOpenFile);
    fController->setStartedUploadProcess(false);
    EXPECT_EQ(fScanRequests.load(), 0);

    EXPECT_TRUE(fController->application_openFile(source()));
    EXPECT_FALSE(gInsideOpenFile);
    EXPECT_EQ(fScanRequests.load(), 1);
    EXPECT_EQ(fController->rootFolder(), source());
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(Field::UploadMainPath) == source() + "/"; }));
    EXPECT_EQ(fPresenter.field(Field::LoginName), "kiosk7 @ 127.0.0.1");
}

TEST_F(AppControllerTest, OpeningPreferencesDuringAnUploadWaitsForTheItem)
{
    launch();
    fController->setStartedUploadProcess(true);
    fController->ibClickedOnOpenPref(nullptr);
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_FALSE(fPresenter.prefButtonEnabled);
    EXPECT_TRUE(waitFor([&] {
        return fPresenter.field(Field::ProcessLine) == "Will Open Pref Panel After Current Item is Finished...";
    }));
    EXPECT_EQ(fPresenter.preferencePanelOpened.load(), 0);

    fCenter.post(cNotification_UploadDone, nullptr, nullptr);
    EXPECT_TRUE(waitFor([&] { return fPresenter.preferencePanelOpened.load() == 1; }));
    EXPECT_TRUE(fLog.contains("POSTED cNotification_UploadProcessPaused"));

    // Closing the panel resumes.
    fController->setStartedUploadProcess(false);
    fController->doHandlePauseResumeButtonAsResume(nullptr);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_FALSE(gWantsToHaltProcess);
}

TEST_F(AppControllerTest, RescanTimerArmsFiresAndCancels)
{
    launch();
    countScanRequests();
    // Whether a timer is still pending when the fired timer's request arrives;
    // the empty pass that follows may arm a new one.
    std::atomic<bool> timerPendingAtRequest{true};
    int owner = 0;
    fCenter.addObserver(&owner, cNotification_ScanFolder,
                        [&](const Notification&) { timerPendingAtRequest = fController->hasRepeatTimer(); });
    store().setObject(PrefKey::SecondsBetweenScans, PlistValue::real(1));
    fController->doSetupRetriggerTimer();
    EXPECT_TRUE(fController->hasRepeatTimer());
    EXPECT_TRUE(waitFor([&] { return !fPresenter.field(Field::ProcessLine).empty(); }));
    const std::string line = fPresenter.field(Field::ProcessLine);
    EXPECT_TRUE(std::regex_match(line,
                                 std::regex("Next Auto-Synchronize Trigger Date = "
                                            "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\.\\.")))
        << line;
    EXPECT_TRUE(waitFor([&] { return fScanRequests.load() == 1; }, std::chrono::seconds(5)));
    EXPECT_FALSE(timerPendingAtRequest) << "one shot";
    fCenter.removeObserver(&owner);

    // The accepted scan request cancelled nothing left; arm again and cancel.
    fController->doSetupRetriggerTimer();
    fController->cancelRetriggerTimer();
    EXPECT_FALSE(fController->hasRepeatTimer());

    // Switched off: no timer and the line keeps its text.
    store().setBool(PrefKey::AutoSynchronize, false);
    QCoreApplication::processEvents();
    fPresenter.updateTextField(Field::ProcessLine, "previous", false);
    fController->doSetupRetriggerTimer();
    QCoreApplication::processEvents();
    EXPECT_FALSE(fController->hasRepeatTimer());
    EXPECT_EQ(fPresenter.field(Field::ProcessLine), "previous");
}

TEST_F(AppControllerTest, AutomaticStartWaitsLongerWhenTheWindowShows)
{
    store().setBool(PrefKey::AutoStartUploadAtStartup, true);
    store().setBool(PrefKey::ShowWindowAtStartup, true);
    launch();
    EXPECT_EQ(fController->autoStartDelay(), 30000);
    EXPECT_TRUE(fLog.contains("Will autoResynchronizeAtStartup is TRUE..."));

    AppController second(fPresenter, fCenter);
    store().setBool(PrefKey::ShowWindowAtStartup, false);
    second.applicationDidFinishLaunching();
    EXPECT_EQ(second.autoStartDelay(), 10000);

    store().setBool(PrefKey::AutoStartUploadAtStartup, false);
    AppController third(fPresenter, fCenter);
    third.applicationDidFinishLaunching();
    EXPECT_EQ(third.autoStartDelay(), -1);

    // A headless station never shows its window: the shorter wait.
    store().setBool(PrefKey::AutoStartUploadAtStartup, true);
    store().setBool(PrefKey::ShowWindowAtStartup, true);
    AppController headless(fPresenter, fCenter);
    headless.setHeadless(true);
    headless.applicationDidFinishLaunching();
    EXPECT_EQ(headless.autoStartDelay(), 10000);

    // A start that follows a hung upload goes on by itself even with the automatic start off.
    store().setBool(PrefKey::AutoStartUploadAtStartup, false);
    fLog.clear();
    AppController restarted(fPresenter, fCenter);
    restarted.setHeadless(true);
    restarted.setRestartedAfterHungUpload(true);
    restarted.applicationDidFinishLaunching();
    EXPECT_EQ(restarted.autoStartDelay(), 10000);
    EXPECT_TRUE(fLog.contains("this start follows a hung upload"));
}

TEST_F(AppControllerTest, AHungUploadUnderASupervisorEndsWithItsOwnStatus)
{
    launch();
    const std::string marker = fSandbox.file("config/quon-uploader.restart");
    fController->setSupervised(true);
    fController->setRestartMarkerPath(marker);
    RelaunchRequest request;
    request.LSLaunchFlags = RelaunchRequest::kLaunchFlagsInBackground;
    fController->relaunchApp(request);
    EXPECT_TRUE(waitFor([&] { return fTerminated.load(); }));
    EXPECT_EQ(fController->exitStatus(), AppController::kExitStatusForSupervisor);
    EXPECT_EQ(AppController::kExitStatusForSupervisor, 75);
    EXPECT_FALSE(fLog.contains("relaunch => helper")) << "no second copy beside the supervised one";
    EXPECT_TRUE(std::filesystem::exists(marker)) << "the next start goes on by itself";
    EXPECT_EQ(std::filesystem::status(marker).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(AppControllerTest, UploadNowFromAnotherProgramEndsAPauseWhateverBecameOfThePausedPhoto)
{
    launch();
    countScanRequests();
    EXPECT_FALSE(fController->resumePausedProcess(nullptr)) << "nothing to resume";
    EXPECT_EQ(fScanRequests.load(), 0);

    // Paused during an upload, and the photo already filed: the upload flag is clear.
    fController->setStartedUploadProcess(true);
    fController->forceProcessToPause(nullptr);
    fController->completeRequestedPause();
    fController->setStartedUploadProcess(false);
    ASSERT_TRUE(gDidHaltProcess);
    EXPECT_TRUE(fController->resumePausedProcess(nullptr));
    EXPECT_FALSE(gWantsToHaltProcess);
    EXPECT_FALSE(gDidHaltProcess);
    EXPECT_EQ(fScanRequests.load(), 1) << "the scan starts at once";
    EXPECT_TRUE(waitFor([&] { return fPresenter.buttonTitle() == "Pause" && fPresenter.buttonEnabled; }));
    EXPECT_TRUE(waitFor([&] { return !gIsScanning; }));

    // Paused while the photo is still being filed: its clean-up starts the next scan.
    fController->setStartedUploadProcess(true);
    fController->forceProcessToPause(nullptr);
    fController->completeRequestedPause();
    EXPECT_TRUE(fController->resumePausedProcess(nullptr));
    EXPECT_FALSE(gDidHaltProcess);
    fCenter.post(cNotification_CleanUpAfterUpload, nullptr, std::make_shared<UploadItemInfo>());
    EXPECT_TRUE(waitFor([&] { return fScanRequests.load() == 2; }));
    EXPECT_TRUE(waitFor([&] { return !gIsScanning; }));

    // A pause asked for but not yet in effect is withdrawn: the photo's end does not pause.
    fController->setStartedUploadProcess(true);
    fController->forceProcessToPause(nullptr);
    ASSERT_TRUE(gWantsToHaltProcess);
    EXPECT_TRUE(fController->resumePausedProcess(nullptr));
    EXPECT_FALSE(gWantsToHaltProcess);
    fCenter.post(cNotification_UploadDone, nullptr, nullptr);
    EXPECT_FALSE(gDidHaltProcess);
}

TEST_F(AppControllerTest, QuittingDuringAnUploadOnlyAsksItToHalt)
{
    launch();
    fController->setStartedUploadProcess(true);
    fController->ibClickedOnQuit(nullptr);
    EXPECT_TRUE(waitFor([&] { return fTerminated.load(); }));
    EXPECT_TRUE(fController->isTerminating());
    EXPECT_TRUE(gWantsToHaltProcess);
    EXPECT_TRUE(fLog.contains("Telling Thread to Stop - as soon as possible"));
    EXPECT_TRUE(fLog.contains("TerminateResponse is [NSTerminateNow]"));
    EXPECT_FALSE(std::filesystem::exists(fSandbox.file("ctl.sock"))) << "the command socket is removed";
}

TEST(AppControllerVersion, KernelReleaseMustOfferFolderEvents)
{
    EXPECT_TRUE(AppController::kernelSupportsFolderEvents("2.6.13"));
    EXPECT_TRUE(AppController::kernelSupportsFolderEvents("2.6.32-5-amd64\n"));
    EXPECT_TRUE(AppController::kernelSupportsFolderEvents("3.0"));
    EXPECT_TRUE(AppController::kernelSupportsFolderEvents("6.1.0-27-amd64"));
    EXPECT_FALSE(AppController::kernelSupportsFolderEvents("2.6.12"));
    EXPECT_FALSE(AppController::kernelSupportsFolderEvents("2.4.37"));
    EXPECT_FALSE(AppController::kernelSupportsFolderEvents(""));
    EXPECT_FALSE(AppController::kernelSupportsFolderEvents("Linux"));
}
