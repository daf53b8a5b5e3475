// quon-uploader: the hot-folder photo uploader.

#include "app/AppController.h"
#include "app/LoggingStatusPresenter.h"
#include "app/UploaderOptions.h"
#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/HeapTuning.h"
#include "platform/UserDefaults.h"
#include "util/LeftoverCleanup.h"
#include "util/RestartMarker.h"
#include "util/StationLock.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM take the normal termination path on the main thread.
void installSignalHandlers(QCoreApplication& app, AppController& controller)
{
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&controller] {
        char buffer[16];
        while (::read(gSignalPipe[0], buffer, sizeof buffer) > 0) { }
        ConsoleLog::write("Received a termination signal; quitting...");
        controller.terminate(nullptr);
    });
    struct sigaction action { };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv)
{
    // Before any thread starts: an oversized reply must not leave its memory behind.
    HeapTuning::returnLargeBlocksWhenFreed();
    // Temporary files last changed before this moment are leftovers of an earlier run.
    const std::time_t started = std::time(nullptr);
    UploaderOptions options;
    std::string error;
    int badCommandLine = 0;
    if (!options.parse(argc, argv, &error, &badCommandLine)) {
        std::fprintf(stderr, "quon-uploader: %s\n", error.c_str());
        if (badCommandLine != UploaderOptions::kExitBadSetting)
            std::fputs(UploaderOptions::usage().c_str(), stderr);
        return badCommandLine;
    }
    if (options.showHelp) {
        std::fputs(UploaderOptions::usage().c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("quon-uploader %s\n", QUON_VERSION);
        return 0;
    }

    // Log lines are queued and written in batches from here on.
    ConsoleLog::startWriter();

    // Taken before anything touches the settings or cleans up: a second
    // station on the same settings would send every photo twice.
    const std::string storePath = options.defaultsPath.empty() ? AppPaths::defaultStorePath() : options.defaultsPath;
    StationLock stationLock;
    std::string lockError;
    const std::string lockPath = StationLock::lockPathFor(storePath);
    switch (stationLock.acquire(lockPath, &lockError)) {
        case StationLock::Result::Acquired: break;
        case StationLock::Result::HeldByAnother:
            if (stationLock.holderPid() > 0)
                std::fprintf(stderr,
                             "quon-uploader: another uploader (pid %d) is already running with the settings %s\n",
                             static_cast<int>(stationLock.holderPid()), storePath.c_str());
            else
                std::fprintf(stderr,
                             "quon-uploader: another uploader is already running with the settings %s (see %s)\n",
                             storePath.c_str(), lockPath.c_str());
            return 1;
        case StationLock::Result::Failed:
            ConsoleLog::writef("Cannot make sure this is the only uploader on these settings: %s", lockError.c_str());
            break;
    }

    QCoreApplication app(argc, argv);
    // Numbers in settings, replies and logs always use the decimal point.
    std::setlocale(LC_NUMERIC, "C");
    if (!options.headless)
        ConsoleLog::write("The status window is not part of this build; running headless");

    UserDefaults& store = UserDefaults::standard();
    store.open(storePath);
    options.applySettings(store);
    // Left by an instance that ended because an upload hung.
    const std::string restartMarker = RestartMarker::pathFor(storePath);
    const bool restartedAfterHang = RestartMarker::take(restartMarker);
    if (restartedAfterHang)
        ConsoleLog::write("This start follows a hung upload; uploading goes on by itself");
    if (stationLock.isHeld()) {
        LeftoverCleanup::removeSecretLeftovers(storePath, started);
        std::thread([started] { LeftoverCleanup::removeMoveLeftovers(started); }).detach();
    }

    AppController::initialize();
    LoggingStatusPresenter presenter;
    AppController controller(presenter);
    controller.setCommandSocketPath(options.socketPath);
    // This build has no windows: every station is headless.
    controller.setHeadless(true);
    controller.setSupervised(options.supervised);
    controller.setRestartMarkerPath(restartMarker);
    controller.setRestartedAfterHungUpload(restartedAfterHang);
    installSignalHandlers(app, controller);

    controller.awakeFromNib();
    controller.applicationWillFinishLaunching();
    controller.applicationDidFinishLaunching();
    const int status = app.exec();

    // Scan, cleanup and order threads are detached and may still be inside a
    // transfer; end the process without running static destructors under them.
    ConsoleLog::flush();
    std::fflush(nullptr);
    ::_exit(status);
}
