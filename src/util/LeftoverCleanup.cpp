#include "util/LeftoverCleanup.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "prefs/Preferences.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LeftoverCleanup {

namespace {

constexpr const char* kMoveTemporaryBase = ".quon-moving-";
// Deep enough for any mirror layout (event/client/...), shallow enough that
// a loop of bind mounts cannot keep us busy.
constexpr int kMaxDepth = 32;

bool isMkstempCharacter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Walks folder, removing matching files; descends into real folders when depth allows.
size_t sweep(const std::string& folder, const std::vector<std::string>& bases, std::time_t changedBefore, int depth)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    size_t removed = 0;
    std::vector<std::string> subfolders;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = FileUtil::joinPath(folder, name);
        struct stat st { };
        bool matches = false;
        for (const auto& base : bases)
            matches = matches || isTemporaryName(name, base);
        if (!matches) {
            if (depth > 0 && (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) &&
                ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                subfolders.push_back(path);
            continue;
        }
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_mtime >= changedBefore)
            continue;
        if (::unlink(path.c_str()) == 0) {
            ++removed;
            ConsoleLog::writef("Removed a temporary file left over by an earlier run: %s", path.c_str());
        } else {
            ConsoleLog::writef("Could not remove the leftover temporary file %s: %s", path.c_str(),
                               std::strerror(errno));
        }
    }
    ::closedir(dir);
    for (const auto& sub : subfolders)
        removed += sweep(sub, bases, changedBefore, depth - 1);
    return removed;
}

std::string trashFilesFolder()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const std::string base = dataHome && *dataHome ? std::string(dataHome) : FileUtil::homeFolder() + "/.local/share";
    return base + "/Trash/files";
}

} // namespace

bool isTemporaryName(const std::string& name, const std::string& base)
{
    if (name.size() != base.size() + 6 || name.compare(0, base.size(), base) != 0)
        return false;
    bool upper = false, lower = false, digit = false;
    for (size_t i = base.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (!isMkstempCharacter(c))
            return false;
        upper = upper || (c >= 'A' && c <= 'Z');
        lower = lower || (c >= 'a' && c <= 'z');
        digit = digit || (c >= '0' && c <= '9');
    }
    // A person's own copy ("defaults.plist.backup", ".BACKUP", ".202401")
    // sticks to one kind of character; mkstemp's random letters rarely do.
    return upper + lower + digit >= 2;
}

size_t removeInFolder(const std::string& folder, const std::vector<std::string>& bases, std::time_t changedBefore)
{
    return sweep(folder, bases, changedBefore, 0);
}

size_t removeInTree(const std::string& root, const std::string& base, std::time_t changedBefore)
{
    return sweep(root, {base}, changedBefore, kMaxDepth);
}

size_t removeSecretLeftovers(const std::string& storePath, std::time_t changedBefore)
{
    const std::string logRoot = AppPaths::logRoot();
    size_t removed = removeInFolder(logRoot, {"postBodyData.txt.", "postBodyDataWithImage.txt."}, changedBefore);
    removed += removeInFolder(logRoot + "/Quon", {"hiresPostBody.txt.", "hiresOrderResponse.txt."}, changedBefore);
    if (!storePath.empty())
        removed += removeInFolder(FileUtil::parentFolder(storePath), {FileUtil::lastPathComponent(storePath) + "."},
                                  changedBefore);
    return removed;
}

size_t removeMoveLeftovers(std::time_t changedBefore)
{
    size_t removed = 0;
    if (auto mirror = Preferences::getLocalMasterMirrorSiteFolder(); mirror && !mirror->empty())
        removed += removeInTree(FileUtil::expandTilde(*mirror), kMoveTemporaryBase, changedBefore);
    if (auto problem = Preferences::getLocalProblemUploadFolder(); problem && !problem->empty())
        removed += removeInTree(FileUtil::expandTilde(*problem), kMoveTemporaryBase, changedBefore);
    removed += removeInFolder(trashFilesFolder(), {kMoveTemporaryBase}, changedBefore);
    return removed;
}

} // namespace LeftoverCleanup
