#include "util/Relaunch.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "util/ShellScript.h"

#include <unistd.h>

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
    if (!startDetachedProgram(target.helperPath, args, &error)) {
        ConsoleLog::writef("\n\nrelaunch FAILED => UNABLE to start [%s]: %s\n\n", target.helperPath.c_str(),
                           error.c_str());
        return false;
    }
    if (terminate)
        terminate(sender);
    return true;
}
