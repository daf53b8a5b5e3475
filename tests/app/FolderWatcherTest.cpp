#include "app/FolderWatcher.h"
#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"

#include "RecordingPresenter.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TestSupport::createFileWithContents;
using TestSupport::waitFor;

namespace {

struct Mode {
    const char* name;
    FolderWatcher::Timing timing;
};

// Each mode leaves one way of delivering a batch within the tests' deadlines,
// so a timer that never fires fails in its own mode.
const Mode kModes[] = {
    {"QuietPeriodAndFlush", {100ms, 300ms, 200ms}},
    {"QuietPeriodOnly", {100ms, 60s, 200ms}},
    {"FlushOnly", {60s, 250ms, 200ms}},
};

void PrintTo(const Mode& mode, std::ostream* out) { *out << mode.name; }

void writeFile(const std::string& path, size_t size = 2048) { createFileWithContents(path, std::string(size, 'x')); }

} // namespace

// A watcher over a folder in the sandbox (its name is not ASCII), run on a
// thread of its own as the controller runs it, on a private notification centre.
class FolderWatcherTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        fs::create_directories(root());
        fCenter.addObserver(this, cNotification_WatcherItemChanged,
                            [this](const Notification&) { fPosts.fetch_add(1); });
        fCenter.addObserver(this, cNotification_WatcherStarted, [this](const Notification& note) {
            if (auto info = note.info<FolderWatcher::StartedInfo>(); info && info->CFRunLoopRef)
                fStarted.fetch_add(1);
        });
    }
    void TearDown() override { stopWatcher(); }

    void startWatcher(const std::string& folder)
    {
        fWatcher = std::make_unique<FolderWatcher>(fCenter, fTiming);
        fThread = std::thread([this, folder] {
            fInstalled = fWatcher->doInstallTheWatcher(folder, [this](const std::string& problem) {
                std::lock_guard lock(fMutex);
                fProblems.push_back(problem);
            });
            fReturned = true;
        });
        ASSERT_TRUE(waitFor([&] { return fStarted.load() == 1; }));
    }
    void startWatcher() { startWatcher(root()); }
    void stopWatcher()
    {
        if (!fThread.joinable())
            return;
        EXPECT_TRUE(fWatcher->stop());
        EXPECT_TRUE(waitFor([&] { return fReturned.load(); }));
        fThread.join();
    }

    bool waitForPosts(int count)
    {
        return waitFor([&] { return fPosts.load() >= count; });
    }
    // Long enough for a batch still open to go out in any mode.
    void settle()
    {
        waitFor([] { return false; }, std::min(fTiming.latency, fTiming.flushInterval) + 500ms);
    }
    bool problemMentions(const std::string& text) const
    {
        std::lock_guard lock(fMutex);
        for (const auto& problem : fProblems)
            if (problem.find(text) != std::string::npos)
                return true;
        return false;
    }
    size_t problemCount() const
    {
        std::lock_guard lock(fMutex);
        return fProblems.size();
    }

    std::string root() const { return fSandbox.file("Fotos Übersicht 写真"); }
    std::string at(const std::string& relative) const { return root() + "/" + relative; }

    FolderWatcher::Timing fTiming = kModes[0].timing;
    NotificationCenter fCenter;
    std::unique_ptr<FolderWatcher> fWatcher;
    std::thread fThread;
    std::atomic<int> fPosts{0};
    std::atomic<int> fStarted{0};
    std::atomic<bool> fInstalled{false};
    std::atomic<bool> fReturned{false};
    mutable std::mutex fMutex;
    std::vector<std::string> fProblems;
    TestSupport::LogCapture fLog;
};

class FolderWatcherModes : public FolderWatcherTest, public ::testing::WithParamInterface<Mode> {
protected:
    void SetUp() override
    {
        fTiming = GetParam().timing;
        FolderWatcherTest::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(FolderWatcher, FolderWatcherModes, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });

TEST_P(FolderWatcherModes, APhotoInTheRootAndInANestedFolderIsReported)
{
    fs::create_directories(at("Smith/Day 2"));
    startWatcher();
    EXPECT_EQ(fWatcher->watchedFolderCount(), 3u);
    // The line follows the started notification on the watcher's thread.
    EXPECT_TRUE(waitFor([&] { return fLog.contains("doInstallTheWatcher is running inside NSRunLoop = "); }));

    writeFile(at("IMG_0001.jpg"));
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_TRUE(fLog.contains("=====>>>>  FOUND EVENT Inside fsevents_callback  <<<<<======="));
    settle();
    const int before = fPosts;
    writeFile(at("Smith/Day 2/IMG_0002.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, AFolderMadeAfterTheStartAndAPhotoInsideAreReported)
{
    startWatcher();
    // Made in one go: the inner folders exist before the watcher sees the outer one.
    fs::create_directories(at("Jones/Ceremony/Portraits"));
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 4u);
    settle();
    const int before = fPosts;
    writeFile(at("Jones/Ceremony/Portraits/IMG_0003.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, AFolderMovedInWithPhotosAlreadyInsideIsReported)
{
    const std::string staging = fSandbox.file("Card/Brown");
    writeFile(staging + "/IMG_0010.jpg");
    writeFile(staging + "/Reception/IMG_0011.jpg");
    startWatcher();
    fs::rename(staging, at("Brown"));
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 3u);
    settle();
    const int before = fPosts;
    writeFile(at("Brown/Reception/IMG_0012.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, TenPhotosCopiedAtOnceComeInFewBatches)
{
    const std::string card = fSandbox.file("Card");
    for (int i = 0; i < 10; ++i)
        writeFile(card + "/IMG_00" + std::to_string(20 + i) + ".jpg", 200 * 1024);
    startWatcher();
    for (const auto& entry : fs::directory_iterator(card))
        fs::copy_file(entry.path(), at(entry.path().filename().string()));
    ASSERT_TRUE(waitForPosts(1));
    settle();
    // About forty events (create, close for each file): one batch, two if a flush fell in between.
    EXPECT_LE(fPosts.load(), 3);

    // A batch sent does not swallow what comes after it.
    const int before = fPosts;
    writeFile(at("IMG_0030.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, NothingChangedNothingPosted)
{
    writeFile(at("Smith/IMG_0001.jpg"));
    startWatcher();
    // What a scan pass does: list, stat, open and read.
    for (const auto& entry : fs::recursive_directory_iterator(root()))
        (void)entry.is_regular_file();
    EXPECT_EQ(TestSupport::readWholeFile(at("Smith/IMG_0001.jpg")).size(), 2048u);
    // A change beside the watched folder is not one inside it.
    writeFile(fSandbox.file("Elsewhere/IMG_0001.jpg"));
    settle();
    EXPECT_EQ(fPosts.load(), 0);

    writeFile(at("Smith/IMG_0002.jpg"));
    ASSERT_TRUE(waitForPosts(1));
    settle();
    EXPECT_EQ(fPosts.load(), 1);
}

TEST_P(FolderWatcherModes, StopEndsTheWatcherThread)
{
    startWatcher();
    EXPECT_TRUE(fWatcher->isRunning());
    writeFile(at("IMG_0001.jpg")); // a batch still open does not hold the stop up
    EXPECT_TRUE(fWatcher->stop());
    EXPECT_TRUE(waitFor([&] { return fReturned.load(); }));
    EXPECT_TRUE(fInstalled);
    EXPECT_FALSE(fWatcher->isRunning());
    EXPECT_EQ(fWatcher->watchedFolderCount(), 0u);
    EXPECT_TRUE(fLog.contains("Done With CFRunLoopRun inside doInstallTheWatcher..."));
    fThread.join();

    // A stop that comes first leaves nothing to run.
    FolderWatcher early(fCenter, fTiming);
    EXPECT_TRUE(early.stop());
    EXPECT_TRUE(early.doInstallTheWatcher(root()));
    EXPECT_EQ(fStarted.load(), 1);
}

TEST_P(FolderWatcherModes, ARemovedSubFolderDoesNotBreakLaterEvents)
{
    fs::create_directories(at("Smith/Day 2"));
    startWatcher();
    fs::remove_all(at("Smith"));
    ASSERT_TRUE(waitForPosts(1));
    ASSERT_TRUE(waitFor([&] { return fWatcher->watchedFolderCount() == 1; }));
    settle();

    int before = fPosts;
    writeFile(at("IMG_0001.jpg"));
    ASSERT_TRUE(waitForPosts(before + 1));
    settle();
    // The same name again is a new folder to watch.
    before = fPosts;
    fs::create_directories(at("Smith"));
    ASSERT_TRUE(waitForPosts(before + 1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 2u);
    settle();
    before = fPosts;
    writeFile(at("Smith/IMG_0002.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, AFolderMovedAwayIsNoLongerWatched)
{
    fs::create_directories(at("Smith/Day 2"));
    fs::create_directories(fSandbox.file("Archive"));
    startWatcher();
    fs::rename(at("Smith"), fSandbox.file("Archive/Smith"));
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 1u);
    settle();

    const int before = fPosts;
    writeFile(fSandbox.file("Archive/Smith/Day 2/IMG_0001.jpg"));
    settle();
    EXPECT_EQ(fPosts.load(), before);
    writeFile(at("IMG_0002.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, AFolderRenamedInsideTheTreeIsWatchedUnderItsNewName)
{
    fs::create_directories(at("Smith/Day 2"));
    startWatcher();
    fs::rename(at("Smith"), at("Smith-Jones"));
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 3u);
    settle();
    int before = fPosts;
    writeFile(at("Smith-Jones/Day 2/IMG_0001.jpg"));
    ASSERT_TRUE(waitForPosts(before + 1));
    settle();

    // Known under the new name: moved out from there, it is let go.
    fs::create_directories(fSandbox.file("Archive"));
    before = fPosts;
    fs::rename(at("Smith-Jones/Day 2"), fSandbox.file("Archive/Day 2"));
    ASSERT_TRUE(waitForPosts(before + 1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 2u);
    settle();
    before = fPosts;
    writeFile(fSandbox.file("Archive/Day 2/IMG_0002.jpg"));
    settle();
    EXPECT_EQ(fPosts.load(), before);
}

TEST_P(FolderWatcherModes, ASourceFolderMissingAtTheStartIsWatchedOnceItAppears)
{
    const std::string later = fSandbox.file("Später");
    startWatcher(later);
    EXPECT_TRUE(waitFor([&] { return problemMentions("[" + later + "] does not exist"); }));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 0u);

    writeFile(later + "/Smith/IMG_0001.jpg");
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 2u);
    EXPECT_EQ(problemCount(), 1u); // said once, not at every look
    settle();
    const int before = fPosts;
    writeFile(later + "/Smith/IMG_0002.jpg");
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_P(FolderWatcherModes, ASourceFolderRemovedAndMadeAgainIsWatchedAgain)
{
    startWatcher();
    fs::remove_all(root());
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_TRUE(waitFor([&] { return problemMentions("] was removed."); }));
    settle();

    int before = fPosts;
    writeFile(at("IMG_0001.jpg"));
    ASSERT_TRUE(waitForPosts(before + 1));
    ASSERT_TRUE(waitFor([&] { return fWatcher->watchedFolderCount() == 1; }));
    settle();
    before = fPosts;
    writeFile(at("IMG_0002.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

TEST_F(FolderWatcherTest, AnOverflowedQueueIsReportedAndTheTreeWatchedAfresh)
{
    const long queueLimit = std::atol(TestSupport::readWholeFile("/proc/sys/fs/inotify/max_queued_events").c_str());
    if (queueLimit <= 0 || queueLimit > 200000)
        GTEST_SKIP() << "the inotify queue holds " << queueLimit << " events; too many to fill here";

    // Hold the watcher thread in its start-up notification while the queue fills.
    std::atomic<bool> release{false};
    fCenter.addObserver(&release, cNotification_WatcherStarted, [&](const Notification&) {
        while (!release)
            std::this_thread::sleep_for(1ms);
    });
    startWatcher();
    for (long i = 0; i < queueLimit / 2 + 200; ++i) {
        const std::string path = at("flood-" + std::to_string(i));
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    // Its creation is among the events the kernel could not queue.
    fs::create_directories(at("Late"));
    release = true;

    ASSERT_TRUE(waitForPosts(1));
    EXPECT_TRUE(fLog.contains("REALLY BAD NEWS! The kernel dropped events."));
    EXPECT_TRUE(problemMentions("fs.inotify.max_queued_events"));
    EXPECT_EQ(fWatcher->watchedFolderCount(), 2u);
    settle();
    const int before = fPosts;
    writeFile(at("Late/IMG_0001.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

// Runs WatchLimitChild in a user namespace of its own whose inotify watch
// limit is three, so the kernel refuses the rest of the tree.
TEST_F(FolderWatcherTest, TheKernelsWatchLimitIsReportedPlainly)
{
    const QString script = "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\"";
    QProcess probe;
    probe.start("unshare", {"--user", "--map-root-user", "sh", "-c", script, "true"});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        GTEST_SKIP() << "no user namespace with a watch limit of its own here";

    QProcess child;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUON_WATCH_LIMIT_CHILD", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("unshare",
                {"--user", "--map-root-user", "sh", "-c", script, QCoreApplication::applicationFilePath(),
                 "--gtest_filter=FolderWatcherTest.WatchLimitChild"});
    ASSERT_TRUE(child.waitForFinished(120000));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST_F(FolderWatcherTest, WatchLimitChild)
{
    if (!std::getenv("QUON_WATCH_LIMIT_CHILD"))
        GTEST_SKIP() << "runs inside TheKernelsWatchLimitIsReportedPlainly";
    fs::create_directories(at("A/B/C/D"));
    startWatcher();
    EXPECT_EQ(fWatcher->watchedFolderCount(), 3u);
    EXPECT_TRUE(problemMentions("fs.inotify.max_user_watches"));
    EXPECT_TRUE(fLog.contains("fs.inotify.max_user_watches"));

    // The watched part still reports, and a new folder that cannot be watched is said again.
    const size_t said = problemCount();
    fs::create_directories(at("E"));
    ASSERT_TRUE(waitForPosts(1));
    EXPECT_GT(problemCount(), said);
    settle();
    const int before = fPosts;
    writeFile(at("A/IMG_0001.jpg"));
    EXPECT_TRUE(waitForPosts(before + 1));
}

// The watcher as the controller runs it: started from empty scan passes.
class FolderWatcherControllerTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        resetProcessFlags();
        FactoryDefaults::setupFactoryDefaults(std::string(QUON_SOURCE_DIR) + "/resources/FactoryDefault.plist");
        fs::create_directories(source());
        fs::create_directories(fSandbox.file("Mirror"));
        auto& store = UserDefaults::standard();
        store.setString(PrefKey::LocalSourceUploadFolder, source());
        store.setString(PrefKey::LocalMasterMirrorSiteFolder, fSandbox.file("Mirror"));
        store.setString(PrefKey::UserEnteredEventName, "Wedding 12");
        store.setString(PrefKey::UserLoginName, "kiosk7");
        store.setString(PrefKey::UserLoginPassword, "pw");
        store.setBool(PrefKey::AutoStartUploadAtStartup, false);
        store.setBool(PrefKey::AutoSynchronize, false);
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        fController->setCommandSocketPath(fSandbox.file("ctl.sock"));
        fController->setTerminateHandler([] {});
        fController->awakeFromNib();
        fController->applicationWillFinishLaunching();
        fController->applicationDidFinishLaunching();
        fCenter.addObserver(this, cNotification_WatcherStarted, [this](const Notification&) { fStarted.fetch_add(1); });
        fCenter.addObserver(this, cNotification_WatcherItemChanged,
                            [this](const Notification&) { fPosts.fetch_add(1); });
    }
    void TearDown() override
    {
        fController.reset();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }
    void watchFromEmptyPass(const std::string& folder)
    {
        fController->startDetachedThread("folder watcher",
                                         [this, folder] { fController->doWatchFolderInThread(folder); });
    }
    std::string source() const { return fSandbox.file("Source"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<AppController> fController;
    std::atomic<int> fStarted{0};
    std::atomic<int> fPosts{0};
    TestSupport::LogCapture fLog;
};

TEST_F(FolderWatcherControllerTest, InstallingTwiceStartsOneWatcher)
{
    ASSERT_TRUE(fController->isRunningLeopard());
    for (int i = 0; i < 6; ++i)
        watchFromEmptyPass(source());
    ASSERT_TRUE(waitFor([&] { return fLog.count("ALREADY inside doWatchFolderInThread") == 5 && fStarted == 1; }));
    EXPECT_TRUE(gIsInWatchFolderInstaller);
    EXPECT_TRUE(fLog.contains("SET fWatcherRunLoop to: 0x"));
    watchFromEmptyPass(source());
    EXPECT_TRUE(waitFor([&] { return fLog.count("ALREADY inside doWatchFolderInThread") == 6; }));
    EXPECT_EQ(fStarted.load(), 1);

    // A change reaches the controller, which asks for a scan.
    writeFile(source() + "/notes.txt");
    EXPECT_TRUE(waitFor([&] { return fPosts.load() >= 1; }));
    EXPECT_TRUE(
        waitFor([&] { return fLog.contains("Inside AppController => handleNotification_WatcherItemChanged:"); }));

    // Shutting down ends the watcher thread before the controller is gone.
    fController.reset();
    EXPECT_TRUE(fLog.contains("Done outside doInstallTheWatcher..."));
}

TEST_F(FolderWatcherControllerTest, AMissingSourceFolderIsShownInTheProcessLine)
{
    fs::remove_all(source());
    watchFromEmptyPass(source());
    ASSERT_TRUE(waitFor([&] {
        return fPresenter.field(StatusPresenter::Field::ProcessLine).find("does not exist") != std::string::npos;
    }));
    EXPECT_TRUE(fPresenter.fieldIsError(StatusPresenter::Field::ProcessLine));
    EXPECT_EQ(fStarted.load(), 1); // it runs, waiting for the folder

    fController.reset();
    EXPECT_TRUE(fLog.contains("Done outside doInstallTheWatcher..."));
}
