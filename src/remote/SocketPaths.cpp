#include "remote/SocketPaths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace SocketPaths {

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

bool fail(std::string* error, const std::string& message)
{
    if (error)
        *error = message;
    return false;
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace

std::string fallbackFolder(uid_t uid, const std::string& tmpRoot)
{
    return tmpRoot + "/quon-uploader-" + std::to_string(uid);
}

std::string fallbackSocketPath(uid_t uid, const std::string& tmpRoot)
{
    return fallbackFolder(uid, tmpRoot) + "/quon-uploader.sock";
}

std::string defaultSocketPath()
{
    std::string path = env("QUON_SOCKET");
    if (!path.empty())
        return path;
    const std::string runtime = env("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return runtime + "/quon-uploader.sock";
    return fallbackSocketPath(::geteuid());
}

bool isInFallbackFolder(const std::string& path)
{
    const std::string folder = fallbackFolder(::geteuid()) + "/";
    return path.compare(0, folder.size(), folder) == 0;
}

bool checkPrivateFolder(const std::string& folder, uid_t uid, bool create, std::string* error)
{
    struct stat st { };
    if (::lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT || !create)
            return fail(error, folder + ": " + std::strerror(errno));
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return fail(error, "cannot create " + folder + ": " + std::strerror(errno));
        if (::lstat(folder.c_str(), &st) != 0)
            return fail(error, folder + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode))
        return fail(error, folder + " is not a folder");
    if (st.st_uid != uid)
        return fail(error,
                    folder + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " + std::to_string(uid));
    if ((st.st_mode & 077) != 0)
        return fail(error, folder + " has mode " + octal(st.st_mode) + "; only its owner may have access (0700)");
    return true;
}

} // namespace SocketPaths
