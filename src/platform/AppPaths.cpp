#include "platform/AppPaths.h"

#include "platform/FileUtil.h"
#include "remote/SocketPaths.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

#ifndef QUON_INSTALL_DATADIR
#define QUON_INSTALL_DATADIR "/usr/local/share/quon-uploader"
#endif

namespace AppPaths {

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

} // namespace

std::string configHome()
{
    std::string dir = env("XDG_CONFIG_HOME");
    return dir.empty() ? FileUtil::homeFolder() + "/.config" : dir;
}

std::string defaultStorePath() { return configHome() + "/quon-uploader/defaults.plist"; }

std::string oldUploaderPreferencesPath() { return configHome() + "/quon-ftp-uploader/defaults.plist"; }

std::string logRoot()
{
    std::string root = env("QUON_LOG_ROOT");
    if (!root.empty())
        return root;
    std::string state = env("XDG_STATE_HOME");
    if (state.empty())
        state = FileUtil::homeFolder() + "/.local/state";
    return state + "/quon-uploader/Logs";
}

std::string defaultSocketPath() { return SocketPaths::defaultSocketPath(); }

std::string executablePath()
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string executableFolder()
{
    const std::string exe = executablePath();
    return exe.empty() ? std::string(".") : FileUtil::parentFolder(exe);
}

std::string resourcePath(const std::string& name)
{
    const std::string candidates[] = {
        env("QUON_RESOURCE_DIR"),
        executableFolder() + "/../share/quon-uploader",
        QUON_INSTALL_DATADIR,
    };
    for (const auto& dir : candidates) {
        if (dir.empty())
            continue;
        const std::string path = dir + "/" + name;
        if (FileUtil::exists(path))
            return path;
    }
    return {};
}

std::string helperProgramPath(const std::string& name) { return executableFolder() + "/" + name; }

} // namespace AppPaths
