#include "util/Relaunch.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<std::string> ownArguments()
{
    // /proc keeps the arguments byte for byte, NUL-separated, the program first.
    std::string raw;
    if (!FileUtil::readFile("/proc/self/cmdline", raw))
        return {};
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < raw.size()) {
        const size_t end = raw.find('\0', start);
        arguments.push_back(raw.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (!arguments.empty())
        arguments.erase(arguments.begin());
    return arguments;
}

// Starts the helper in a session of its own, so it outlives this process
// and its terminal; a thread reaps it should it end while we still run.
bool startDetached(const std::string& path, const std::vector<std::string>& args, std::string* error)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = std::strerror(rc);
        return false;
    }
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

} // namespace

RelaunchTarget RelaunchTarget::currentApplication()
{
    RelaunchTarget target;
    target.helperPath = AppPaths::helperProgramPath("quon-relaunch");
    target.appPath = AppPaths::executablePath();
    target.pid = ::getpid();
    target.arguments = ownArguments();
    return target;
}

bool relaunch(const std::optional<RelaunchRequest>& info, const std::function<void(const void* sender)>& terminate,
              const RelaunchTarget& target)
{
    const void* sender = info ? info->sender : nullptr;
    const long flags = info ? info->LSLaunchFlags : RelaunchRequest::kLaunchFlagsActivate;
    if (target.helperPath.empty() || ::access(target.helperPath.c_str(), X_OK) != 0) {
        ConsoleLog::writef("\n\nrelaunch FAILED => UNABLE to find the helper: [%s]!\n\n", target.helperPath.c_str());
        return false;
    }
    std::vector<std::string> args = {target.appPath, std::to_string(target.pid), std::to_string(flags)};
    args.insert(args.end(), target.arguments.begin(), target.arguments.end());
    ConsoleLog::writef("relaunch => helper = [%s] app = [%s] pid = [%d] flags = [%ld]", target.helperPath.c_str(),
                       target.appPath.c_str(), static_cast<int>(target.pid), flags);
    std::string error;
    if (!startDetached(target.helperPath, args, &error)) {
        ConsoleLog::writef("\n\nrelaunch FAILED => UNABLE to start [%s]: %s\n\n", target.helperPath.c_str(), error.c_str());
        return false;
    }
    if (terminate)
        terminate(sender);
    return true;
}
