#include "platform/FileUtil.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileUtil {

namespace {

bool setError(std::string* error, const std::string& what)
{
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool readFile(const std::string& path, std::string& contents, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return setError(error, "cannot open " + path);
    contents.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return setError(error, "cannot read " + path);
        }
        if (n == 0)
            break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

int makeTemporaryFile(std::string& pattern) { return ::mkostemp(pattern.data(), O_CLOEXEC); }

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode, std::string* error)
{
    std::string temp = path + ".XXXXXX";
    const int fd = makeTemporaryFile(temp);
    if (fd < 0)
        return setError(error, "cannot create a temporary file beside " + path);
    bool ok = ::fchmod(fd, mode) == 0;
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int cause = ok ? errno : saved;
        ::unlink(temp.c_str());
        errno = cause;
        return setError(error, "cannot write " + path);
    }
    return true;
}

bool makeFolders(const std::string& path, mode_t mode, std::string* error)
{
    if (path.empty())
        return true;
    if (isDirectory(path))
        return true;
    const std::string parent = parentFolder(path);
    if (parent != path && parent != "." && !makeFolders(parent, mode, error))
        return false;
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return setError(error, "cannot create folder " + path);
    return true;
}

bool exists(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentFolder(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string lastPathComponent(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

namespace {

// Where the extension's dot is in path, or npos; a leading dot is part of the name.
size_t extensionDot(const std::string& path)
{
    const auto slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = path.rfind('.');
    return dot != std::string::npos && dot > nameStart ? dot : std::string::npos;
}

} // namespace

std::string pathExtension(const std::string& path)
{
    const auto dot = extensionDot(path);
    return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

std::string pathWithoutExtension(const std::string& path) { return path.substr(0, extensionDot(path)); }

std::string joinPath(const std::string& root, const std::string& relative)
{
    if (relative.empty())
        return root;
    if (!root.empty() && root.back() == '/')
        return root + relative;
    return root + "/" + relative;
}

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

std::string expandTilde(const std::string& path)
{
    if (path == "~")
        return homeFolder();
    if (path.rfind("~/", 0) == 0)
        return homeFolder() + path.substr(1);
    return path;
}

} // namespace FileUtil
