#include "filing/ZVI_FileManager.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "prefs/Preferences.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool existsNoFollow(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0;
}

// rename() that never replaces an existing destination.
bool renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag: a hard link fails when the name is taken.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST)
        return false;
    if (existsNoFollow(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Copies a regular file to a temporary name in the destination's folder and
// flushes it; the caller renames it into place.
bool copyToTemporary(const std::string& source, const std::string& destination, std::string& temporary,
                     std::string& error)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        error = std::string("cannot read the photo: ") + std::strerror(errno);
        return false;
    }
    struct stat st { };
    ::fstat(in, &st);
    temporary = FileUtil::parentFolder(destination) + "/.quon-moving-XXXXXX";
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) {
        error = std::string("cannot create a file in the destination: ") + std::strerror(errno);
        ::close(in);
        return false;
    }
    bool ok = true;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            error = std::string("read failed: ") + std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                error = std::string("write failed: ") + std::strerror(errno);
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    if (ok) {
        ::fchmod(out, st.st_mode & 07777);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
        if (::fsync(out) != 0) {
            ok = false;
            error = std::string("flush failed: ") + std::strerror(errno);
        }
    }
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        error = std::string("close failed: ") + std::strerror(errno);
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

// Moves one file; false (source untouched) when it could not.
bool moveFile(const std::string& source, const std::string& destination, bool replace, std::string& error)
{
    const bool renamed =
        replace ? ::rename(source.c_str(), destination.c_str()) == 0 : renameNoReplace(source, destination);
    if (renamed)
        return true;
    if (errno != EXDEV) {
        error = std::strerror(errno);
        return false;
    }
    std::string temporary;
    if (!copyToTemporary(source, destination, temporary, error))
        return false;
    // The copy is read back before it takes the photo's place: the source
    // goes only when the destination holds it whole.
    if (!sameFileContents(source, temporary)) {
        error = "the copy on the destination does not match the photo";
        ::unlink(temporary.c_str());
        return false;
    }
    const bool placed =
        replace ? ::rename(temporary.c_str(), destination.c_str()) == 0 : renameNoReplace(temporary, destination);
    if (!placed) {
        error = std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(FileUtil::parentFolder(destination));
    // Only now, with the copy safe on disk, does the source go.
    if (::unlink(source.c_str()) != 0)
        ConsoleLog::writef("moveFileToPath2 => the photo was copied to [%s] but [%s] could not be removed: %s",
                           destination.c_str(), source.c_str(), std::strerror(errno));
    return true;
}

} // namespace

bool sameFileContents(const std::string& a, const std::string& b)
{
    struct stat sa { }, sb { };
    if (::lstat(a.c_str(), &sa) != 0 || ::lstat(b.c_str(), &sb) != 0 || !S_ISREG(sa.st_mode) ||
        !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size)
        return false;
    const int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int fb = fa < 0 ? -1 : ::open(b.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    bool same = fa >= 0 && fb >= 0;
    static constexpr size_t kChunk = 1 << 16;
    std::string bufA(kChunk, '\0'), bufB(kChunk, '\0');
    while (same) {
        const ssize_t na = ::read(fa, bufA.data(), kChunk);
        if (na < 0 && errno == EINTR)
            continue;
        if (na <= 0) {
            same = na == 0 && ::read(fb, bufB.data(), 1) == 0;
            break;
        }
        ssize_t nb = 0;
        while (nb < na) {
            const ssize_t n = ::read(fb, bufB.data() + nb, static_cast<size_t>(na - nb));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            nb += n;
        }
        same = nb == na && std::memcmp(bufA.data(), bufB.data(), static_cast<size_t>(na)) == 0;
    }
    if (fa >= 0)
        ::close(fa);
    if (fb >= 0)
        ::close(fb);
    return same;
}

std::string nameWithTimeStamp(const std::string& path, bool beforeExtension, int copy)
{
    return nameWithTimeStamp(path, beforeExtension, std::time(nullptr), copy);
}

std::string nameWithTimeStamp(const std::string& path, bool beforeExtension, std::time_t when, int copy)
{
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, " %Y%m%d_%H%M%S", &local);
    std::string suffix = stamp;
    if (copy > 1)
        suffix += "-" + std::to_string(copy);
    const std::string extension = FileUtil::pathExtension(path);
    if (!beforeExtension || extension.empty())
        return path + suffix;
    return FileUtil::pathWithoutExtension(path) + suffix + "." + extension;
}

std::optional<std::string> ZVI_FileManager::moveItem(const std::string& relativePath, const std::string& sourceRoot,
                                                     const std::string& destRoot, WhenTaken whenTaken,
                                                     bool doEncapsulate, std::string* error)
{
    if (error)
        error->clear();
    logInside("ZVI_FileManager", "moveFileToPath:fromSrcPath:toDestPath:doOverWrite:doEncapsulate:");
    const std::string fullSource = FileUtil::joinPath(sourceRoot, relativePath);
    struct stat source { };
    if (::lstat(fullSource.c_str(), &source) != 0)
        return std::nullopt;
    // A link is never a photo: moving it would file what it points to, or a
    // folder half, and leave it behind to be found again.
    if (S_ISLNK(source.st_mode)) {
        ConsoleLog::writef("moveFileToPath2 => [%s] is a symbolic link; links are never moved", fullSource.c_str());
        return std::nullopt;
    }
    if (S_ISDIR(source.st_mode)) {
        FileUtil::makeFolders(destRoot, 0755);
        const std::string checkPath = FileUtil::joinPath(destRoot, relativePath);
        FileUtil::makeFolders(checkPath, 0755);
        ConsoleLog::writef("\ncreateDirectory %s\n", checkPath.c_str());
        if (existsNoFollow(checkPath)) {
            ConsoleLog::write("moveFileToPath2 => destination moved/created Successfully\n\n");
            return checkPath;
        }
        ConsoleLog::writef("moveFileToPath2 => destination NOT moved or created: %s\n\n", checkPath.c_str());
        if (error)
            *error = "the folder could not be created";
        return std::nullopt;
    }
    // The destination root is made with the file's own folders (placeFile).
    std::string destPath = FileUtil::joinPath(destRoot, relativePath);
    if (doEncapsulate)
        destPath = FileUtil::joinPath(createEncapsulationFolder(destRoot, relativePath, true),
                                      FileUtil::lastPathComponent(relativePath));
    return placeFile(fullSource, destPath, destRoot, whenTaken, error);
}

std::optional<std::string> ZVI_FileManager::moveFileTo(const std::string& fullSource, const std::string& destination,
                                                       WhenTaken whenTaken, std::string* error)
{
    if (error)
        error->clear();
    struct stat source { };
    if (::lstat(fullSource.c_str(), &source) != 0)
        return std::nullopt;
    if (S_ISLNK(source.st_mode)) {
        ConsoleLog::writef("moveFileToPath2 => [%s] is a symbolic link; links are never moved", fullSource.c_str());
        return std::nullopt;
    }
    return placeFile(fullSource, destination, FileUtil::parentFolder(destination), whenTaken, error);
}

std::optional<std::string> ZVI_FileManager::placeFile(const std::string& fullSource, const std::string& destination,
                                                      const std::string& shownRoot, WhenTaken whenTaken,
                                                      std::string* error)
{
    std::string destPath = destination;
    // A missing client folder must not leave a filed photo behind to be sent again.
    std::string folderError;
    if (!FileUtil::makeFolders(FileUtil::parentFolder(destPath), 0755, &folderError))
        ConsoleLog::writef("moveFileToPath2 => %s", folderError.c_str());
    if (struct stat there { }; ::lstat(destPath.c_str(), &there) == 0) {
        if (whenTaken == WhenTaken::KeepBoth) {
            const std::string taken = destPath;
            destPath = nameWithTimeStamp(taken, true);
            for (int copy = 2; existsNoFollow(destPath); ++copy)
                destPath = nameWithTimeStamp(taken, true, copy);
        } else if (whenTaken == WhenTaken::Overwrite && S_ISDIR(there.st_mode)) {
            std::error_code ec;
            fs::remove_all(destPath, ec);
            if (ec)
                ConsoleLog::writef("moveFileToPath2 => removeFileAtPath Failed for item [ [%s]???", destPath.c_str());
        }
    }
    ConsoleLog::writef(
        "\nmoveFileToPath2\rFROM fullSourcePath: %s\r        TO destPath: %s\r   modifiedDestPath: %s\n\n",
        fullSource.c_str(), shownRoot.c_str(), destPath.c_str());
    std::string moveError;
    if (!moveFile(fullSource, destPath, whenTaken == WhenTaken::Overwrite, moveError)) {
        ConsoleLog::writef("moveFileToPath2 => movePath Failed??? [%s] (%s)", fullSource.c_str(), moveError.c_str());
        ConsoleLog::writef("moveFileToPath2 => destination NOT moved or created: %s\n\n", destPath.c_str());
        if (error)
            *error = folderError.empty() ? moveError : folderError;
        return std::nullopt;
    }
    // The rename (or the copy renamed into place) put it there.
    ConsoleLog::write("moveFileToPath2 => destination moved/created Successfully\n\n");
    return destPath;
}

bool haveSameContents(const std::string& first, const std::string& second)
{
    const int a = ::open(first.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int b = ::open(second.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    bool same = a >= 0 && b >= 0;
    struct stat sa {
    }, sb{};
    same = same && ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode) &&
        sa.st_size == sb.st_size;
    static constexpr size_t kChunk = 1 << 16;
    std::vector<char> bufferA(same ? kChunk : 0), bufferB(same ? kChunk : 0);
    while (same) {
        const ssize_t na = ::read(a, bufferA.data(), kChunk);
        if (na <= 0) {
            same = na == 0 && ::read(b, bufferB.data(), 1) == 0;
            break;
        }
        // A regular file gives what it has in one read unless a signal cuts in; read b to the same length.
        ssize_t nb = 0;
        while (nb < na) {
            const ssize_t n = ::read(b, bufferB.data() + nb, static_cast<size_t>(na - nb));
            if (n <= 0)
                break;
            nb += n;
        }
        same = nb == na && std::memcmp(bufferA.data(), bufferB.data(), static_cast<size_t>(na)) == 0;
    }
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
    return same;
}

void ZVI_FileManager::moveFileToPath(const std::string& relativePath, const std::string& sourceRoot,
                                     const std::string& destRoot, bool doOverWrite, bool doEncapsulate)
{
    moveItem(relativePath, sourceRoot, destRoot, doOverWrite ? WhenTaken::Overwrite : WhenTaken::KeepExisting,
             doEncapsulate);
}

void ZVI_FileManager::moveFileToPath(const std::string& relativePath, const std::string& sourceRoot, bool doOverWrite,
                                     bool doEncapsulate)
{
    logInside("ZVI_FileManager", "moveFileToPath:fromSrcPath:doOverWrite:doEncapsulate:");
    moveFileToPath(relativePath, sourceRoot, Preferences::getLocalMasterMirrorSiteFolder().value_or(""), doOverWrite,
                   doEncapsulate);
}

void ZVI_FileManager::moveFileToPath(const std::string& relativePath, const std::string& sourceRoot)
{
    logInside("ZVI_FileManager", "moveFileToPath:fromSrcPath:");
    moveFileToPath(relativePath, sourceRoot, true, false);
}

std::optional<std::string> getBaseName1(const std::string& path)
{
    const std::string name = FileUtil::lastPathComponent(path);
    const auto underscore = name.find('_');
    if (underscore == std::string::npos || underscore == 0) {
        ConsoleLog::writeRaw("==> getBaseName1 FAILED\n");
        return std::nullopt;
    }
    const std::string base = name.substr(0, underscore);
    ConsoleLog::writeRaw("==> getBaseName1 returned: [" + base + "]\n");
    return base;
}

std::string createEncapsulationFolder(const std::string& destRoot, const std::string& relativePath, bool create)
{
    std::string parent = FileUtil::parentFolder(FileUtil::joinPath(destRoot, relativePath));
    const auto base = getBaseName1(relativePath);
    if (!base)
        return parent;
    const std::string folder = FileUtil::joinPath(parent, *base);
    ConsoleLog::writeRaw("createEncapsulationFolder formed name: " + folder + "\n\n");
    if (create) {
        ConsoleLog::writeRaw("createEncapsulationFolder CREATING: " + folder + "\n\n");
        FileUtil::makeFolders(folder, 0755);
    }
    return folder;
}

void moveFileToUserTrash(const std::string& path)
{
    const std::string item = fs::path(path).lexically_normal().string();
    // Deletable: the folder holding it is writable.
    if (!existsNoFollow(item) || ::access(FileUtil::parentFolder(item).c_str(), W_OK) != 0) {
        ConsoleLog::writef("moveFileToUserTrash => item [%s] is NOT deletable...", item.c_str());
        return;
    }
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const std::string trash =
        (dataHome && *dataHome ? std::string(dataHome) : FileUtil::homeFolder() + "/.local/share") + "/Trash";
    if (!FileUtil::makeFolders(trash + "/files", 0700) || !FileUtil::makeFolders(trash + "/info", 0700))
        return;
    std::string name = FileUtil::lastPathComponent(item);
    if (existsNoFollow(trash + "/files/" + name) || existsNoFollow(trash + "/info/" + name + ".trashinfo"))
        name = nameWithTimeStamp(name, false);
    const std::string target = trash + "/files/" + name;

    // The record first, so the desktop never finds a trashed file it cannot place.
    std::string encoded;
    for (unsigned char c : item) {
        if (std::isalnum(c) || std::strchr("/-_.~", c))
            encoded.push_back(static_cast<char>(c));
        else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
    const std::string info = "[Trash Info]\nPath=" + encoded + "\nDeletionDate=" + when + "\n";
    const std::string infoPath = trash + "/info/" + name + ".trashinfo";
    FileUtil::writeFileAtomically(infoPath, info, 0600);

    std::string error;
    if (!moveFile(item, target, false, error)) {
        ::unlink(infoPath.c_str());
        ConsoleLog::writef("moveFileToUserTrash -> Move operation did not succeed! for [%s]", target.c_str());
    }
}
