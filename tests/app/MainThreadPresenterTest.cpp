#include "app/MainThreadPresenter.h"
#include "app/LoggingStatusPresenter.h"
#include "platform/MainThread.h"

#include "RecordingPresenter.h"
#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::waitFor;
using Field = StatusPresenter::Field;

namespace {

// The lines a headless presenter writes, in order.
class OperatorLines {
public:
    LoggingStatusPresenter::LineSink sink()
    {
        return [this](const std::string& line) {
            std::lock_guard lock(fMutex);
            fLines.push_back(line);
        };
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(fMutex);
        return fLines;
    }
    size_t count(const std::string& line) const
    {
        const auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), line));
    }

private:
    mutable std::mutex fMutex;
    std::vector<std::string> fLines;
};

// Remembers, besides what it shows, whether any call came off the main thread.
class ThreadCheckingPresenter : public RecordingPresenter {
public:
    void updateTextField(Field field, const std::string& text, bool isError) override
    {
        check();
        RecordingPresenter::updateTextField(field, text, isError);
    }
    void openMaintenanceWindow(int window) override
    {
        check();
        RecordingPresenter::openMaintenanceWindow(window);
    }
    void updateMaintenanceLine1(int window, const std::string& text) override
    {
        check();
        RecordingPresenter::updateMaintenanceLine1(window, text);
    }
    void closeMaintenanceWindow(int window) override
    {
        check();
        RecordingPresenter::closeMaintenanceWindow(window);
    }
    std::atomic<int> offMainThread{0};

private:
    void check()
    {
        if (!MainThread::isMainThread())
            offMainThread.fetch_add(1);
    }
};

// Runs fn on a worker thread; true when it returned without the main thread's help.
bool runOnWorker(const std::function<void()>& fn)
{
    auto done = std::async(std::launch::async, fn);
    return done.wait_for(30s) == std::future_status::ready;
}

} // namespace

TEST(MainThreadPresenterTest, AMaintenanceWindowDrivenFromAWorkerIsShownOnTheMainThreadInOrder)
{
    ThreadCheckingPresenter shown;
    MainThreadPresenter presenter(shown);
    ASSERT_TRUE(runOnWorker([&] {
        auto window = presenter.openMaintenanceWindow();
        window->ibSetWindowTitle("Order Check");
        window->ibUpdateLine1TextField("Checking for Hi-Res Orders:");
        window->ibUpdateLine2TextField("order 4711");
        window->ibUpdateProgressBar("yes");
        window->ibUpdateProgressBar("NO");
        window->close();
        window->ibUpdateLine2TextField("after the close");
    })) << "no call waits for the main thread";
    EXPECT_TRUE(shown.maintenanceCalls().empty()) << "nothing is shown before the main thread runs";

    const std::vector<std::string> expected = {"window 1 opened",
                                               "window 1 title: Order Check",
                                               "window 1 line 1: Checking for Hi-Res Orders:",
                                               "window 1 line 2: order 4711",
                                               "window 1 bar started",
                                               "window 1 bar stopped",
                                               "window 1 closed"};
    ASSERT_TRUE(waitFor([&] { return shown.maintenanceCalls().size() >= expected.size(); }, 10s));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.maintenanceCalls(), expected) << "a call after the close is ignored";
    EXPECT_EQ(shown.offMainThread.load(), 0);
}

TEST(MainThreadPresenterTest, WindowsOfTwoTasksAreKeptApartAndADroppedWindowCloses)
{
    RecordingPresenter shown;
    MainThreadPresenter presenter(shown);
    std::thread cleanup([&] {
        auto window = presenter.openMaintenanceWindow();
        window->ibUpdateLine1TextField("Deleting Old Photos");
        // The task ends early without closing its window.
    });
    cleanup.join();
    std::thread orders([&] {
        auto window = presenter.openMaintenanceWindow();
        window->ibUpdateLine1TextField("Checking Orders");
        window->close();
        window->close();
    });
    orders.join();
    ASSERT_TRUE(waitFor([&] { return shown.maintenanceCalls().size() >= 6; }, 10s));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.maintenanceCalls(),
              (std::vector<std::string>{"window 1 opened", "window 1 line 1: Deleting Old Photos", "window 1 closed",
                                        "window 2 opened", "window 2 line 1: Checking Orders", "window 2 closed"}));
}

TEST(MainThreadPresenterTest, AWindowThatOutlivesThePresenterShowsNothingMore)
{
    RecordingPresenter shown;
    std::unique_ptr<MaintenanceWindow> window;
    {
        MainThreadPresenter presenter(shown);
        window = presenter.openMaintenanceWindow();
        window->ibUpdateLine1TextField("queued, never shown");
    }
    ASSERT_TRUE(runOnWorker([&] {
        window->ibUpdateLine2TextField("after the presenter");
        window.reset();
    }));
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_TRUE(shown.maintenanceCalls().empty()) << "calls still queued go with the presenter";
}

TEST(MainThreadPresenterTest, StatusLinesFromAWorkerKeepTheirOrder)
{
    ThreadCheckingPresenter shown;
    MainThreadPresenter presenter(shown);
    ASSERT_TRUE(runOnWorker([&] {
        for (int i = 0; i < 200; ++i)
            presenter.ibUpdateFTPCallbackStatusTextField("line " + std::to_string(i));
        presenter.ibUpdateFTPCallbackStatusTextField("Cannot start uploading", true);
        presenter.ibUpdateUploadStatusTextField("Uploading...");
        presenter.ibUpdateProgressBar("Yes");
    }));
    ASSERT_TRUE(waitFor([&] { return shown.field(Field::UploadStatus) == "Uploading..."; }, 10s));
    EXPECT_EQ(shown.field(Field::ProcessLine), "Cannot start uploading") << "the last line stays";
    EXPECT_TRUE(shown.fieldIsError(Field::ProcessLine));
    ASSERT_TRUE(waitFor([&] { return shown.progressRunning.load(); }, 10s));
    EXPECT_EQ(shown.offMainThread.load(), 0);
}

TEST(MainThreadPresenterTest, HeadlessTheMaintenanceWindowBecomesProgressLines)
{
    TestSupport::LogCapture log;
    OperatorLines shown;
    LoggingStatusPresenter headless(shown.sink());
    MainThreadPresenter presenter(headless);
    ASSERT_TRUE(runOnWorker([&] {
        auto window = presenter.openMaintenanceWindow();
        window->ibSetWindowTitle("Cleanup");
        window->ibUpdateLine1TextField("Deleting Old Photos in the Mirror Site Folder:");
        window->ibUpdateLine2TextField("Adams/IMG_1.jpg");
        window->ibUpdateProgressBar("YES");
        window->ibUpdateProgressBar("");
        window->close();
    }));
    ASSERT_TRUE(waitFor([&] { return shown.count("progress: window 1 closed") == 1; }, 10s));
    EXPECT_EQ(shown.lines(),
              (std::vector<std::string>{"progress: window 1 opened", "progress: window 1 title: Cleanup",
                                        "progress: window 1 line 1: Deleting Old Photos in the Mirror Site Folder:",
                                        "progress: window 1 line 2: Adams/IMG_1.jpg", "progress: window 1 bar started",
                                        "progress: window 1 bar stopped", "progress: window 1 closed"}));
    EXPECT_FALSE(log.contains("progress:")) << "the operator's lines stay out of the console log";
}

TEST(MainThreadPresenterTest, HeadlessEveryOperatorLineIsOneLineWithItsPrefixFirst)
{
    OperatorLines shown;
    LoggingStatusPresenter headless(shown.sink());
    MainThreadPresenter presenter(headless);
    std::vector<std::string> errors;
    presenter.setErrorObserver([&](const std::string& text) { errors.push_back(text); });
    ASSERT_TRUE(runOnWorker([&] {
        presenter.ibUpdateFTPCallbackStatusTextField("Couldn't connect to server\nNext attempt at 10:00:02 (in 2 s)",
                                                     true);
        presenter.ibUpdateUploadStatusTextField("Uploading...");
        presenter.showFiled("/src/Adams/IMG_1.jpg", "/mirror/Adams/IMG_1.jpg", "uploaded", true);
        presenter.showFiled("/src/Adams/IMG_2.jpg", "/Problem Folder/Adams/IMG_2.jpg", "Event closed\n", false);
        presenter.showUploadProgress("/src/Adams/IMG_3.jpg", 30'000'000, 120'000'000, 3'250'000);
        presenter.perform([](StatusPresenter& p) { p.showAlert("Delete Empty Folders", "Line one\nline two", "OK"); });
    }));
    ASSERT_TRUE(waitFor([&] { return shown.lines().size() == 6; }, 10s));
    EXPECT_EQ(shown.lines(),
              (std::vector<std::string>{
                  "status: process (error): Couldn't connect to server - Next attempt at 10:00:02 (in 2 s)",
                  "status: upload: Uploading...",
                  "filed: /src/Adams/IMG_1.jpg -> /mirror/Adams/IMG_1.jpg (uploaded)",
                  "filed: /src/Adams/IMG_2.jpg -> /Problem Folder/Adams/IMG_2.jpg (refused: Event closed)",
                  "progress: upload IMG_3.jpg: 25% of 120.0 MB at 3.2 MB/s",
                  "alert: Delete Empty Folders Line one - line two [OK]",
              }));
    // Only the error line reaches the status report, as it was shown.
    EXPECT_EQ(errors, (std::vector<std::string>{"Couldn't connect to server\nNext attempt at 10:00:02 (in 2 s)"}));
}
