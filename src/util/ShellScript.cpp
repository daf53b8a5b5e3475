#include "util/ShellScript.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::string joinArgs(const std::vector<std::string>& args)
{
    std::string out = "(";
    for (size_t i = 0; i < args.size(); ++i)
        out += (i ? ", " : "") + args[i];
    return out + ")";
}

bool containsIgnoringCase(const std::string& haystack, const char* needle)
{
    const size_t n = std::char_traits<char>::length(needle);
    for (size_t i = 0; i + n <= haystack.size(); ++i)
        if (strncasecmp(haystack.c_str() + i, needle, n) == 0)
            return true;
    return false;
}

// A child gets standard input, output and error and nothing else: a
// descriptor some library opened without close-on-exec (libcurl's own
// wake-up sockets among them) must not outlive us in a helper.
void closeInheritedDescriptors(posix_spawn_file_actions_t* actions)
{
    posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1);
}

// posix_spawn with the argument vector built from path and args.
int spawnProgram(const std::string& path, const std::vector<std::string>& args,
                 const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attributes, pid_t* pid)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The child shares standard error: what we logged before it comes first.
    ConsoleLog::flush();
    return ::posix_spawn(pid, path.c_str(), actions, attributes, argv.data(), environ);
}

} // namespace

bool startDetachedProgram(const std::string& path, const std::vector<std::string>& args, std::string* error)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    closeInheritedDescriptors(&actions);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = spawnProgram(path, args, &actions, &attributes, &pid);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (error)
            *error = std::strerror(rc);
        return false;
    }
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    }).detach();
    return true;
}

ProcessResult runProgram(const std::string& path, const std::vector<std::string>& args)
{
    ProcessResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    closeInheritedDescriptors(&actions);

    pid_t pid = 0;
    const int rc = spawnProgram(path, args, &actions, nullptr, &pid);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return result;
    }
    result.started = true;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool runShellScript(const std::string& scriptName, const std::optional<std::vector<std::string>>& args)
{
    if (scriptName.empty()) {
        ConsoleLog::write("\n\nrunShellScript FAILED => scriptName==nil!\n\n");
        return false;
    }
    ConsoleLog::writef("runShellScript => scriptName = [%s]", scriptName.c_str());
    if (args)
        ConsoleLog::writef("runShellScript => param = [%s]", joinArgs(*args).c_str());
    else
        ConsoleLog::write("runShellScript => NO param");
    std::string path = AppPaths::resourcePath(scriptName);
    if (path.empty() && FileUtil::exists(AppPaths::helperProgramPath(scriptName)))
        path = AppPaths::helperProgramPath(scriptName);
    if (path.empty()) {
        ConsoleLog::writef("\n\nrunShellScript FAILED => UNABLE to find script named: [%s]!\n\n", scriptName.c_str());
        return false;
    }
    const ProcessResult result = runProgram(path, args.value_or(std::vector<std::string>{}));
    if (!result.started) {
        ConsoleLog::writef("\n\nrunShellScript FAILED => UNABLE to start script: [%s]!\n\n", path.c_str());
        return false;
    }
    ConsoleLog::write(result.exitStatus == 0 ? "Task succeeded." : "Task failed.");
    if (containsIgnoringCase(result.output, "not connected")) {
        ConsoleLog::write("\n\nTHERE IS NO INTERNET CONNECTION on ftp shell level...\n\n");
        return false;
    }
    return true;
}

std::optional<std::string> runShellScript2(const std::string& launchPath,
                                           const std::optional<std::vector<std::string>>& args)
{
    if (launchPath.empty()) {
        ConsoleLog::write("\n\nrunShellScript2 FAILED => scriptName==nil!\n\n");
        return std::nullopt;
    }
    ConsoleLog::writef("runShellScript2 => scriptName = [%s]", launchPath.c_str());
    if (args)
        ConsoleLog::writef("runShellScript2 => param = [%s]", joinArgs(*args).c_str());
    else
        ConsoleLog::write("runShellScript2 => NO param");
    const ProcessResult result = runProgram(launchPath, args.value_or(std::vector<std::string>{}));
    if (!result.started) {
        ConsoleLog::writef("\n\nrunShellScript2 FAILED => UNABLE to launch: [%s]!\n\n", launchPath.c_str());
        return std::nullopt;
    }
    if (result.exitStatus != 0)
        ConsoleLog::write("runShellScript2 Task failed.");
    ConsoleLog::writef("runShellScript2 got back:\n%s\n", result.output.c_str());
    return result.output;
}
