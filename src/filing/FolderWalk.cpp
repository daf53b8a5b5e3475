#include "filing/FolderWalk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace FolderWalk {

namespace {

constexpr const char* kDSStore = ".DS_Store";

std::vector<std::string> listNames(int folderFd)
{
    std::vector<std::string> names;
    // fdopendir takes the descriptor over, so hand it a copy.
    const int copy = ::dup(folderFd);
    if (copy < 0)
        return names;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

int openFolderAt(int parentFd, const std::string& name)
{
    return ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void walkFolder(int folderFd, const std::string& fullPath, const std::string& relativePath, bool recursive,
                const std::function<Step(const Entry&)>& visit)
{
    for (const std::string& name : listNames(folderFd)) {
        Entry entry;
        entry.parentFd = folderFd;
        entry.name = name;
        entry.relativePath = relativePath.empty() ? name : relativePath + "/" + name;
        entry.parentPath = fullPath;
        entry.fullPath = fullPath + "/" + name;
        entry.exists = ::fstatat(folderFd, name.c_str(), &entry.info, AT_SYMLINK_NOFOLLOW) == 0;
        const Step step = visit(entry);
        if (!recursive || step == Step::DoNotDescend || !entry.isFolder())
            continue;
        const int childFd = openFolderAt(folderFd, name);
        if (childFd < 0)
            continue; // deleted by the visit, replaced by a link, or unreadable
        walkFolder(childFd, entry.fullPath, entry.relativePath, recursive, visit);
        ::close(childFd);
    }
}

} // namespace

RootProblem checkDeletionRoot(const std::string& setting, std::string& canonical)
{
    canonical.clear();
    if (setting.empty())
        return RootProblem::Unset;
    if (setting.front() != '/')
        return RootProblem::Relative;
    if (setting.find_first_not_of('/') == std::string::npos)
        return RootProblem::FileSystemRoot;
    struct stat info { };
    if (::stat(setting.c_str(), &info) != 0)
        return RootProblem::Missing;
    if (!S_ISDIR(info.st_mode))
        return RootProblem::NotAFolder;
    char resolved[PATH_MAX];
    if (!::realpath(setting.c_str(), resolved))
        return RootProblem::Missing;
    canonical = resolved;
    if (canonical == "/") {
        canonical.clear();
        return RootProblem::FileSystemRoot;
    }
    return RootProblem::None;
}

const char* describe(RootProblem problem)
{
    switch (problem) {
        case RootProblem::None: return "a folder that may be cleaned";
        case RootProblem::Unset: return "no folder is set";
        case RootProblem::Relative: return "the folder setting is not an absolute path";
        case RootProblem::FileSystemRoot: return "the folder is the root of the file system";
        case RootProblem::Missing: return "the folder does not exist";
        case RootProblem::NotAFolder: return "the path is not a folder";
    }
    return "?";
}

void walk(const std::string& root, bool recursive, const std::function<Step(const Entry&)>& visit)
{
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return;
    std::string base = root;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    walkFolder(rootFd, base, {}, recursive, visit);
    ::close(rootFd);
}

bool removeFile(const Entry& entry, int* error)
{
    if (entry.isFolder())
        return false;
    if (::unlinkat(entry.parentFd, entry.name.c_str(), 0) == 0)
        return true;
    if (error)
        *error = errno;
    return false;
}

bool isEmptyFolder(const Entry& entry, bool* onlyDSStore)
{
    const int fd = openFolderAt(entry.parentFd, entry.name);
    if (fd < 0)
        return false; // a folder that cannot be listed is not empty
    const std::vector<std::string> names = listNames(fd);
    ::close(fd);
    if (onlyDSStore)
        *onlyDSStore = names.size() == 1 && names.front() == kDSStore;
    return names.empty() || (names.size() == 1 && names.front() == kDSStore);
}

bool removeEmptyFolder(const Entry& entry, int* error)
{
    const int fd = openFolderAt(entry.parentFd, entry.name);
    if (fd >= 0) {
        struct stat info { };
        if (::fstatat(fd, kDSStore, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode))
            ::unlinkat(fd, kDSStore, 0);
        ::close(fd);
    }
    // rmdir never removes a folder that holds something: a photo filed
    // meanwhile keeps its folder.
    if (::unlinkat(entry.parentFd, entry.name.c_str(), AT_REMOVEDIR) == 0)
        return true;
    if (error)
        *error = errno;
    return false;
}

bool mayBeDeleted(const Entry& entry)
{
    if (::access(entry.parentPath.c_str(), W_OK | X_OK) != 0)
        return false;
    struct stat parent { };
    if (::fstat(entry.parentFd, &parent) != 0)
        return false;
    const uid_t me = ::geteuid();
    if ((parent.st_mode & S_ISVTX) && me != 0 && me != parent.st_uid && me != entry.info.st_uid)
        return false;
    return true;
}

} // namespace FolderWalk
