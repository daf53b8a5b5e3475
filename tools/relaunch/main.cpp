// quon-relaunch APP_PATH PID FLAGS [ARG...]
//
// Waits until the process PID has ended, then starts APP_PATH again with the
// given arguments, in a session of its own, and exits without waiting for it.
// FLAGS are the launch flags of the request: 1 brings the new instance to the
// front, 0x100300 starts it without raising its window; they reach the new
// instance as QUON_LAUNCH_FLAGS. Every descriptor above standard error is
// closed first, so the new instance starts as clean as the first one did. The uploader passes its own command line as
// the arguments, so a headless instance comes back headless.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// An uploader that has not quit by then is stuck; a second copy beside it
// would upload the same photos twice, so we give up instead.
constexpr auto kLongestWait = std::chrono::minutes(2);

int usage()
{
    std::fputs("usage: quon-relaunch APP_PATH PID FLAGS [ARG...]\n", stderr);
    return 64;
}

bool parseNumber(const char* text, long long& value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text, &end, 0); // decimal, or 0x... as written in the docs
    return errno == 0 && end && *end == '\0';
}

// Gone, or a zombie its parent has not collected yet.
bool hasEnded(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return ::kill(pid, 0) != 0 && errno == ESRCH;
    // The state follows the command name, which is in parentheses and may hold spaces.
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && (line[close + 2] == 'Z' || line[close + 2] == 'X');
}

// Whatever the old instance left open (a hung connection, above all) must
// not reach the new one: keep standard input, output and error only.
void closeInheritedDescriptors()
{
    if (::close_range(STDERR_FILENO + 1, ~0U, 0) == 0)
        return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = STDERR_FILENO + 1; fd < (limit > 0 ? limit : 1024); ++fd)
        ::close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    closeInheritedDescriptors();
    if (argc < 4)
        return usage();
    const std::string appPath = argv[1];
    long long pid = 0, flags = 0;
    if (appPath.empty() || !parseNumber(argv[2], pid) || pid <= 0 || !parseNumber(argv[3], flags))
        return usage();

    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    while (!hasEnded(static_cast<pid_t>(pid))) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "quon-relaunch: process %lld is still running; not starting %s again\n", pid,
                         appPath.c_str());
            return 75;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    const std::string flagsText = std::to_string(flags);
    ::setenv("QUON_LAUNCH_FLAGS", flagsText.c_str(), 1);
    std::vector<char*> args;
    args.push_back(const_cast<char*>(appPath.c_str()));
    for (int i = 4; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int rc = ::posix_spawn(&child, appPath.c_str(), &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "quon-relaunch: cannot start %s: %s\n", appPath.c_str(), std::strerror(rc));
        return 71;
    }
    std::fprintf(stderr, "quon-relaunch: started %s again (pid %d, launch flags %s)\n", appPath.c_str(),
                 static_cast<int>(child), flagsText.c_str());
    return 0;
}
