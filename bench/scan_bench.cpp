// How long one scan pass takes over a big source folder: a first pass over
// 10,000 photos of which none is ready (no metadata yet), a later pass over
// the same photos unchanged, and the time to pick the first ready photo out
// of 10,000 ready ones. Prints the figures.
#include "app/AppController.h"
#include "app/LoggingStatusPresenter.h"
#include "platform/ConsoleLog.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ScanPass.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// --folders F --per-folder P: the size of the source folder (100 x 100 unless told).
int kFolders = 100;
int kPhotosPerFolder = 100;

void fillSource(const std::string& source, bool ready)
{
    fs::remove_all(source);
    PhotoWriter::PhotoSpec recipe;
    if (ready)
        recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/x.jpg")}});
    for (int f = 0; f < kFolders; ++f) {
        const std::string folder = source + "/Client" + std::to_string(1000 + f);
        fs::create_directories(folder);
        for (int p = 0; p < kPhotosPerFolder; ++p)
            PhotoWriter::writePhoto(folder + "/IMG_" + std::to_string(10000 + p) + ".jpg", recipe);
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--folders")
            kFolders = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--per-folder")
            kPhotosPerFolder = std::max(1, std::atoi(argv[++i]));
    }
    const std::string root = (fs::temp_directory_path() / ("quon-scan-bench-" + std::to_string(getpid()))).string();
    const std::string source = root + "/Source", mirror = root + "/Mirror";
    fs::create_directories(mirror);

    UserDefaults& store = UserDefaults::standard();
    store.open(root + "/defaults.plist");
    store.setString(PrefKey::LocalSourceUploadFolder, source);
    store.setString(PrefKey::LocalMasterMirrorSiteFolder, mirror);
    store.setString(PrefKey::UserLoginName, "bench");
    store.setString(PrefKey::UserLoginPassword, "pw");
    store.setString(PrefKey::OrvFuseAction, "upload.upload");
    store.setBool(PrefKey::UploadMovie, false);
    store.setBool(PrefKey::AutoSynchronize, false);

    // The log goes to a file, as it does on a station with its daily log.
    const int savedStderr = ::dup(STDERR_FILENO);
    const int logFd = ::open((root + "/console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    // The operator's lines join the log, away from the figures on standard output.
    LoggingStatusPresenter presenter([](const std::string& line) { ConsoleLog::writeRaw(line + "\n"); });
    NotificationCenter center;
    // A fresh controller starts with nothing remembered: its pass is a first pass.
    auto controller = std::make_unique<AppController>(presenter, center);
    controller->getCurrentLoginInfo();
    Clock::time_point posted;
    int items = 0;
    center.addObserver(&items, cNotification_PrepareUploadStart, [&](const Notification&) {
        posted = Clock::now();
        ++items;
    });

    auto runPass = [&] {
        auto request = std::make_shared<ScanRequestInfo>();
        request->localRootFolder = source;
        request->localMirrorFolder = mirror;
        request->userEnteredEventName = "Bench";
        ::dup2(logFd, STDERR_FILENO);
        const auto start = Clock::now();
        ScanPass(*controller).run(Notification{cNotification_ScanFolder, controller.get(), request});
        const auto end = Clock::now();
        ::dup2(savedStderr, STDERR_FILENO);
        resetProcessFlags();
        QCoreApplication::processEvents();
        return std::pair{start, end};
    };

    std::printf("scan pass over %d photos in %d client folders\n", kFolders * kPhotosPerFolder, kFolders);
    fillSource(source, false);
    const auto freshController = [&] {
        controller->stopWorkerThreads();
        controller.reset();
        controller = std::make_unique<AppController>(presenter, center);
        controller->getCurrentLoginInfo();
    };
    std::vector<double> notReady, later;
    for (int i = 0; i < 5; ++i) {
        freshController();
        auto [start, end] = runPass();
        notReady.push_back(std::chrono::duration<double>(end - start).count());
    }
    std::printf("  none ready (no metadata), first pass: median %.3f s (min %.3f, max %.3f; goal < 0.5 s)\n",
                median(notReady), *std::min_element(notReady.begin(), notReady.end()),
                *std::max_element(notReady.begin(), notReady.end()));
    // Later passes over the same unchanged photos (the last one's own first pass just before).
    for (int i = 0; i < 5; ++i) {
        auto [start, end] = runPass();
        later.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::printf("  none ready, later passes over the unchanged photos: median %.2f ms (min %.2f, max %.2f)\n",
                median(later), *std::min_element(later.begin(), later.end()),
                *std::max_element(later.begin(), later.end()));

    fillSource(source, true);
    freshController();
    std::vector<double> firstReady;
    for (int i = 0; i < 5; ++i) {
        items = 0;
        auto [start, end] = runPass();
        if (items != 1) {
            std::printf("  expected one item, got %d\n", items);
            return 1;
        }
        firstReady.push_back(std::chrono::duration<double, std::milli>(posted - start).count());
    }
    std::printf("  all ready: median %.2f ms to pick the first photo (min %.2f, max %.2f; goal < 20 ms)\n",
                median(firstReady), *std::min_element(firstReady.begin(), firstReady.end()),
                *std::max_element(firstReady.begin(), firstReady.end()));

    std::printf("RESULT scan_not_ready_s=%.3f scan_later_not_ready_ms=%.2f scan_first_ready_ms=%.2f photos=%d\n",
                median(notReady), median(later), median(firstReady), kFolders * kPhotosPerFolder);
    controller->stopWorkerThreads();
    fs::remove_all(root);
    std::fflush(nullptr);
    ::_exit(0);
}
