// Seconds from a photo's arrival in the watched source folder to its request
// reaching the web service, with the uploader idle and its folder watcher
// installed: the delay an operator sees at a station. Prints the figures.
#include "app/AppController.h"
#include "app/LoggingStatusPresenter.h"
#include "platform/ConsoleLog.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"

#include "RefServer.h"

#include <atomic>
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool spinUntil(const std::function<bool()>& done, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // --photos N: how many photos are dropped one at a time (20 unless told).
    int kPhotos = 20;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--photos")
            kPhotos = std::max(1, std::atoi(argv[++i]));
    const std::string root = (fs::temp_directory_path() / ("quon-latency-bench-" + std::to_string(getpid()))).string();
    const std::string source = root + "/Source", mirror = root + "/Mirror", staging = root + "/staging";
    fs::create_directories(source);
    fs::create_directories(mirror);
    fs::create_directories(staging);
    ::setenv("QUON_LOG_ROOT", (root + "/Logs").c_str(), 1);

    RefServer::Options options;
    options.root = root + "/service";
    RefServer server(options);
    std::string error;
    if (!server.start(&error)) {
        std::printf("cannot start the web service: %s\n", error.c_str());
        return 1;
    }

    UserDefaults& store = UserDefaults::standard();
    store.open(root + "/defaults.plist");
    store.setString(PrefKey::LocalSourceUploadFolder, source);
    store.setString(PrefKey::LocalMasterMirrorSiteFolder, mirror);
    store.setString(PrefKey::UserEnteredEventName, "Bench");
    store.setString(PrefKey::UserLoginName, "bench");
    store.setString(PrefKey::UserLoginPassword, "pw");
    store.setString(PrefKey::OrvURL, server.url());
    store.setString(PrefKey::OrvFuseAction, "upload.upload");
    store.setBool(PrefKey::UploadMovie, false);
    store.setBool(PrefKey::AutoSynchronize, false);

    const int savedStderr = ::dup(STDERR_FILENO);
    const int logFd = ::open((root + "/console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(logFd, STDERR_FILENO);

    // The operator's lines join the log, away from the figures on standard output.
    LoggingStatusPresenter presenter([](const std::string& line) { ConsoleLog::writeRaw(line + "\n"); });
    NotificationCenter center;
    AppController controller(presenter, center);
    controller.setCommandSocketPath(root + "/ctl.sock");
    controller.setTerminateHandler([] {});
    std::atomic<bool> watching{false}; // set on the watcher's thread
    center.addObserver(&watching, cNotification_WatcherStarted, [&](const Notification&) { watching = true; });
    controller.awakeFromNib();
    controller.applicationWillFinishLaunching();
    controller.ibUserClickedOnSynchronize(nullptr);
    auto idle = [] { return !gStartedUploadProcess && !gIsScanning; };
    if (!spinUntil([&] { return watching && idle(); }, std::chrono::seconds(10))) {
        ::dup2(savedStderr, STDERR_FILENO);
        std::printf("the folder watcher did not start\n");
        return 1;
    }

    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/x.jpg")}});
    std::vector<double> latencies;
    for (int i = 0; i < kPhotos; ++i) {
        const std::string name = "IMG_" + std::to_string(1000 + i) + ".jpg";
        PhotoWriter::writePhoto(staging + "/" + name, recipe);
        fs::create_directories(source + "/Client");
        const size_t before = server.requestCount();
        const auto arrived = Clock::now();
        fs::rename(staging + "/" + name, source + "/Client/" + name);
        if (!spinUntil([&] { return server.requestCount() > before; }, std::chrono::seconds(30)))
            break;
        latencies.push_back(std::chrono::duration<double>(Clock::now() - arrived).count());
        spinUntil([&] { return fs::exists(mirror + "/Client/" + name) && idle(); }, std::chrono::seconds(30));
        // Let the watcher settle back into waiting, as between two sittings.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ::dup2(savedStderr, STDERR_FILENO);

    if (latencies.size() != static_cast<size_t>(kPhotos)) {
        std::printf("only %zu of %d photos reached the service\n", latencies.size(), kPhotos);
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("photo arrival -> request at the web service, %d photos dropped one at a time\n", kPhotos);
    std::printf("  median %.3f s, min %.3f s, max %.3f s (goal: median < 1.5 s)\n", latencies[kPhotos / 2],
                latencies.front(), latencies.back());
    std::printf("RESULT latency_median_s=%.3f latency_max_s=%.3f photos=%d\n", latencies[kPhotos / 2], latencies.back(),
                kPhotos);
    std::fflush(stdout);
    controller.stopWorkerThreads();
    server.stop();
    fs::remove_all(root);
    ::_exit(0);
}
