// Uploads a photo with a 2 GiB movie (--movie-mib N for another size) to
// quon-refserver, running as a program of its own, and reports the uploader's
// peak resident memory. The movie is read from disk while it is sent (and while
// its debug copy is written), so the peak must stay far below the movie's
// size: under 64 MiB.

#include "app/Notifications.h"
#include "platform/AppPaths.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/UploadItemInfo.h"
#include "upload/HttpController.h"
#include "upload/UploadResultInfo.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

uint64_t kMovieBytes = 2048ull * 1024 * 1024;
constexpr double kLimitMiB = 64.0;

double peakResidentMiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // reported in KiB
}

// quon-refserver beside this program, on a free loopback port.
struct ServiceProcess {
    pid_t pid = -1;
    int port = 0;

    bool start(const std::string& root)
    {
        const std::string program = AppPaths::executableFolder() + "/quon-refserver";
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("--root"),
                                   const_cast<char*>(root.c_str()), const_cast<char*>("--quiet"), nullptr};
        const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        char c;
        while (rc == 0 && line.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1)
            line += c;
        ::close(out[0]);
        return rc == 0 && std::sscanf(line.c_str(), "listening on %d", &port) == 1;
    }
    // The service's own peak (VmHWM): it streams what it receives to disk too.
    double peakResidentMiB() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0)
                return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        return 0;
    }
    ~ServiceProcess()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

struct Sandbox {
    std::string path;
    Sandbox()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quon-bench-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Sandbox()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

void BM_UploadPhotoWithMovie(benchmark::State& state)
{
    Sandbox sandbox;
    ::setenv("QUON_LOG_ROOT", (sandbox.path + "/Logs").c_str(), 1);
    ServiceProcess service;
    if (!service.start(sandbox.path + "/service")) {
        state.SkipWithError("quon-refserver did not start");
        return;
    }
    UserDefaults& store = UserDefaults::standard();
    store.open(sandbox.path + "/defaults.plist");
    store.setString(PrefKey::OrvURL, "http://127.0.0.1:" + std::to_string(service.port) + "/upload");
    store.setString(PrefKey::OrvFuseAction, "upload.upload");

    const std::string folder = sandbox.path + "/Source/Smith";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/IMG_0001.jpg", std::ios::binary) << std::string("\xFF\xD8\xFF\xE0 a small photo \xFF\xD9");
    const std::string movie = folder + "/IMG_0001.mov";
    {
        // Sparse: the disk holds nothing, the reader still gets every byte.
        std::ofstream create(movie, std::ios::binary);
    }
    std::filesystem::resize_file(movie, kMovieBytes);

    NotificationCenter center;
    HttpController uploader(center);
    std::shared_ptr<UploadResultInfo> result;
    center.addObserver(&result, cNotification_UploadDone,
                       [&](const Notification& n) { result = n.info<UploadResultInfo>(); });

    for (auto _ : state) {
        auto item = std::make_shared<UploadItemInfo>();
        item->edUser = "bench";
        item->edPasswd = "bench";
        item->edFileName = folder + "/IMG_0001.jpg";
        item->edClientName = "Smith";
        item->edEventName = "Bench";
        item->edMetaData = "<plist/>";
        item->edCaptureTime = "2010:09:12 14:33:10";
        item->edOrvFuseAction = "upload.upload";
        item->edMuxedMovieName = movie;
        // On a worker, as in the application, while the main thread serves the time-out timer.
        std::atomic<bool> done{false};
        std::thread worker([&] {
            uploader.doRunHttpUploaderWithInfo(item);
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        worker.join();
    }

    const std::string stored = sandbox.path + "/service/Bench/Smith/IMG_0001.mov";
    std::error_code ec;
    const bool arrived = result && result->httpStatusCode == 200 && result->httpOurCustomStatus == "OK" &&
        std::filesystem::file_size(stored, ec) == kMovieBytes;
    if (!arrived)
        state.SkipWithError("the movie did not arrive whole");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMovieBytes));
    state.counters["peak_rss_MiB"] = peakResidentMiB();
    state.counters["service_peak_rss_MiB"] = service.peakResidentMiB();
    store.reset();
}

BENCHMARK(BM_UploadPhotoWithMovie)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Our own option goes before the benchmark library sees the rest.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--movie-mib" && i + 1 < argc)
            kMovieBytes = std::strtoull(argv[++i], nullptr, 10) * 1024 * 1024;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double peak = peakResidentMiB();
    std::printf("uploader peak resident memory: %.1f MiB (limit %.0f MiB) for a %llu MiB movie: %s\n", peak, kLimitMiB,
                static_cast<unsigned long long>(kMovieBytes >> 20), peak < kLimitMiB ? "PASS" : "FAIL");
    std::printf("RESULT peak_rss_mib=%.1f movie_mib=%llu\n", peak, static_cast<unsigned long long>(kMovieBytes >> 20));
    return peak < kLimitMiB ? 0 : 1;
}
