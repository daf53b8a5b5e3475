#include "filing/ZVI_FileManager.h"

#include "platform/ConsoleLog.h"
#include "platform/PercentEscapes.h"
#include "prefs/Preferences.h"
#include "scan/PathChecks.h"

#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr const char* kClass = "ZVI_FileManager";

// Whether an item exists there (links followed), and whether it is a folder.
bool itemExists(const std::string& path, bool* isFolder)
{
    struct stat st { };
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return false;
    if (isFolder)
        *isFolder = S_ISDIR(st.st_mode);
    return true;
}

// "/a/b/c.jpg" -> "/", "a", "b", "c.jpg"; "x/y.jpg" -> "x", "y.jpg".
std::vector<std::string> pathComponents(const std::string& path)
{
    std::vector<std::string> parts;
    if (!path.empty() && path.front() == '/')
        parts.emplace_back("/");
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

std::string joinedComponents(const std::vector<std::string>& parts, size_t from)
{
    std::string path;
    for (size_t i = from; i < parts.size(); ++i) {
        if (parts[i] == "/")
            path = "/";
        else
            path += (path.empty() || path.back() == '/' ? "" : "/") + parts[i];
    }
    return path;
}

std::string joinedWithRoot(const std::string& root, const std::string& relative)
{
    if (root.empty() || root.back() == '/')
        return root + relative;
    return root + "/" + relative;
}

// The folders directly in root that an operator can see, in listing order.
std::vector<std::string> visibleSubFolders(const std::string& root)
{
    std::vector<std::string> folders;
    DIR* dir = ::opendir(root.c_str());
    if (!dir)
        return folders;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = joinedWithRoot(root, name);
        bool isFolder = false;
        if (itemExists(path, &isFolder) && isFolder && !isInvisibleFileAtPath2(path))
            folders.push_back(path);
    }
    ::closedir(dir);
    return folders;
}

} // namespace

std::optional<std::string> ZVI_FileManager::doResolveOriginalPathInPath(const std::optional<std::string>& origPath,
                                                                        const std::optional<std::string>& inPath,
                                                                        std::string* foundUnderRoot)
{
    const char* op = "doResolveOriginalPath:inPath:";
    ConsoleLog::writef("Inside %s->[%s] with inPath=[%s] ", kClass, op, inPath ? inPath->c_str() : "(null)");
    ConsoleLog::writef("Inside %s->[%s] with origiItemPathString=[%s] ", kClass, op,
                       origPath ? origPath->c_str() : "(null)");
    if (foundUnderRoot)
        foundUnderRoot->clear();
    const std::string decoded = origPath ? PercentEscapes::decodeAsMacRoman(*origPath) : std::string();

    // A relative path names no place of its own: it is only looked for below the roots.
    const bool isAbsolute = !decoded.empty() && decoded.front() == '/';
    if (origPath && Preferences::getPrefAlwaysSearchOriginalPath() && isAbsolute && itemExists(decoded, nullptr)) {
        ConsoleLog::writef("Inside %s->[%s]... origItemPathString Exists AS IS...", kClass, op);
        return decoded;
    }
    if (!Preferences::getPrefDoUseOrvHiResAlternatePath1()) {
        ConsoleLog::writef("Inside %s->[%s]... origItemPathString is NIL???? and doSearchInAltPath = FALSE...", kClass,
                           op);
        return std::nullopt;
    }
    if (!inPath)
        return std::nullopt;
    bool rootIsFolder = false;
    if (!itemExists(*inPath, &rootIsFolder)) {
        ConsoleLog::writef("NOT Valid Path to search into: [%s]", inPath->c_str());
        ConsoleLog::writef("inPath does NOT Exist = [%s] ???", inPath->c_str());
        return std::nullopt;
    }
    if (!rootIsFolder) {
        ConsoleLog::writef("NOT Valid Path to search into: [%s]", inPath->c_str());
        return std::nullopt;
    }

    const std::vector<std::string> parts = pathComponents(decoded);
    std::string candidate =
        isAbsolute ? joinedComponents(parts, 0) : joinedWithRoot(*inPath, joinedComponents(parts, 0));
    for (size_t dropped = 0; dropped < parts.size();) {
        ConsoleLog::writef("Searching: [%s]", candidate.c_str());
        bool isFolder = false;
        if (itemExists(candidate, &isFolder) && !isFolder) {
            ConsoleLog::writef("FOUND ITEM at: [%s]", candidate.c_str());
            ConsoleLog::writef("doResolveOriginalPath FOUND the item at Path: [%s]", candidate.c_str());
            if (foundUnderRoot && (dropped > 0 || !isAbsolute))
                *foundUnderRoot = *inPath;
            return candidate;
        }
        ++dropped;
        candidate = joinedWithRoot(*inPath, joinedComponents(parts, dropped));
    }
    ConsoleLog::writef("doResolveOriginalPath FAILED to Find the item at Path: [%s]", decoded.c_str());
    return std::nullopt;
}

std::optional<std::string>
ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(const std::optional<std::string>& origPath,
                                                     const std::optional<std::vector<std::string>>& inArrayOfPaths,
                                                     std::string* foundUnderRoot)
{
    const char* op = "doResolveOriginalPath:inArrayOfPaths:";
    ConsoleLog::writef("Inside %s->[%s] ", kClass, op);
    if (foundUnderRoot)
        foundUnderRoot->clear();
    if (!inArrayOfPaths) {
        ConsoleLog::writef("Inside %s->[%s] ...  inArrayOfPaths = NIL...", kClass, op);
        return doResolveOriginalPathInPath(origPath, std::nullopt, foundUnderRoot);
    }
    std::string listed;
    for (const auto& root : *inArrayOfPaths)
        listed += "    " + root + "\n";
    ConsoleLog::writef("Inside %s->[%s] ...  inArrayOfPaths:\n(\n%s)\n\n", kClass, op, listed.c_str());
    if (inArrayOfPaths->empty()) {
        ConsoleLog::writef("Inside %s->[%s] ...  inArrayOfPaths is NOT nil - but NO contents...", kClass, op);
        return std::nullopt;
    }

    // Every entry with the root whose tree it belongs to: sub-folders belong to the first root.
    std::vector<std::pair<std::string, std::string>> searchList;
    for (const auto& root : *inArrayOfPaths)
        searchList.emplace_back(root, root);
    for (const auto& folder : visibleSubFolders(inArrayOfPaths->front()))
        searchList.emplace_back(folder, inArrayOfPaths->front());
    ConsoleLog::writef("The SubArrays we Need to Search Thru has [%i] items", static_cast<int>(searchList.size()));

    for (const auto& [entry, owningRoot] : searchList) {
        ConsoleLog::writef("\n••••••••••••  Now Searching inside path: [%s] •••••••••••", entry.c_str());
        std::string under;
        if (auto found = doResolveOriginalPathInPath(origPath, entry, &under)) {
            ConsoleLog::writef("FOUND an ITEM... [%s]", found->c_str());
            ConsoleLog::write("Done with Loop...........");
            if (foundUnderRoot && !under.empty())
                *foundUnderRoot = owningRoot;
            return found;
        }
        ConsoleLog::write("\n\n");
    }
    ConsoleLog::write("Done with Loop...........");
    return std::nullopt;
}
