#include "scan/PathChecks.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool startsWith(const unsigned char* data, size_t size, size_t offset, const char* magic, size_t length)
{
    return size >= offset + length && std::memcmp(data + offset, magic, length) == 0;
}

bool headerIsImage(const unsigned char* h, size_t n)
{
    if (startsWith(h, n, 0, "\xFF\xD8\xFF", 3)) // JPEG
        return true;
    if (startsWith(h, n, 0, "\x89PNG\r\n\x1A\n", 8)) // PNG
        return true;
    if (startsWith(h, n, 0, "GIF87a", 6) || startsWith(h, n, 0, "GIF89a", 6)) // GIF
        return true;
    if (startsWith(h, n, 0, "II*\0", 4) || startsWith(h, n, 0, "MM\0*", 4)) // TIFF, and the raws built on it
        return true;
    if (startsWith(h, n, 0, "IIRO", 4) || startsWith(h, n, 0, "IIRS", 4) || startsWith(h, n, 0, "IIU\0", 4))
        return true; // Olympus and Panasonic raw
    if (startsWith(h, n, 0, "FUJIFILMCCD-RAW", 15))
        return true;
    if (startsWith(h, n, 0, "BM", 2) && n >= 18) { // BMP: a known header size
        const uint32_t dib = h[14] | (h[15] << 8) | (h[16] << 16) | (static_cast<uint32_t>(h[17]) << 24);
        return dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124;
    }
    if (startsWith(h, n, 0, "RIFF", 4) && startsWith(h, n, 8, "WEBP", 4)) // WebP
        return true;
    if (startsWith(h, n, 4, "ftyp", 4)) { // HEIC/HEIF/AVIF, Canon CR3
        static const char* brands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "avif", "crx "};
        for (const char* brand : brands)
            if (startsWith(h, n, 8, brand, 4))
                return true;
    }
    return false;
}

std::vector<std::string> mountPoints()
{
    std::vector<std::string> points;
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point) {
        std::getline(mounts, rest);
        // Spaces and tabs in mount points are written as octal escapes.
        std::string decoded;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                decoded.push_back(static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8)));
                i += 3;
            } else {
                decoded.push_back(point[i]);
            }
        }
        points.push_back(decoded);
    }
    return points;
}

bool isRegularFile(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder of a photo, opened once to look names up in it: each of the
// sixteen spellings of its movies then costs the lookup of one name, not of
// the whole path. Where the folder cannot be opened, paths are looked up whole.
class MovieLookup {
public:
    explicit MovieLookup(const std::string& photoStem)
    {
        const size_t slash = photoStem.find_last_of('/');
        if (slash != std::string::npos)
            fFolder = ::open(slash == 0 ? "/" : photoStem.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        fNameStart = slash == std::string::npos ? 0 : slash + 1;
    }
    ~MovieLookup()
    {
        if (fFolder >= 0)
            ::close(fFolder);
    }
    MovieLookup(const MovieLookup&) = delete;
    MovieLookup& operator=(const MovieLookup&) = delete;

    // stem + ".mov" with the extension in any letter case, the lower-case
    // spelling first; a regular file only. stem lies in the folder given.
    std::optional<std::string> withAnyCaseExtension(const std::string& stem) const
    {
        for (int letters = 0; letters < 8; ++letters) {
            std::string candidate = stem + ".";
            candidate += (letters & 1) ? 'M' : 'm';
            candidate += (letters & 2) ? 'O' : 'o';
            candidate += (letters & 4) ? 'V' : 'v';
            if (isRegular(candidate))
                return candidate;
        }
        return std::nullopt;
    }

private:
    bool isRegular(const std::string& path) const
    {
        if (fFolder < 0)
            return isRegularFile(path);
        struct stat st { };
        return ::fstatat(fFolder, path.c_str() + fNameStart, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    }

    int fFolder = -1;
    size_t fNameStart = 0;
};

std::optional<std::string> movieWithAnyCaseExtension(const std::string& stem)
{
    return MovieLookup(stem).withAnyCaseExtension(stem);
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

bool IsValidImageObject(const std::string& path)
{
    if (path.empty()) {
        ConsoleLog::write("NSLog IsValidImageObject => Passed a nil objectPath!!");
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st { };
    std::array<unsigned char, 32> header{};
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = ::read(fd, header.data(), header.size());
    ::close(fd);
    return n > 0 && headerIsImage(header.data(), static_cast<size_t>(n));
}

std::optional<std::string> getMatchingExistingMovieFilePath(const std::string& photoPath)
{
    if (photoPath.empty())
        return std::nullopt;
    const std::string stem = FileUtil::pathWithoutExtension(photoPath);
    const MovieLookup lookup(stem);
    for (const std::string& candidate : {stem, stem + "_muxed"})
        if (auto movie = lookup.withAnyCaseExtension(candidate))
            return movie;
    return std::nullopt;
}

std::optional<std::string> companionMovieFilePath(const std::string& photoPath)
{
    if (photoPath.empty())
        return std::nullopt;
    return movieWithAnyCaseExtension(FileUtil::pathWithoutExtension(photoPath));
}

std::optional<std::string> muxedMovieFilePath(const std::string& photoPath, const std::string& movieName)
{
    if (movieName.empty() || movieName == "." || movieName == ".." || movieName.find('/') != std::string::npos ||
        movieName.find('\0') != std::string::npos)
        return std::nullopt;
    return FileUtil::parentFolder(photoPath) + "/" + movieName;
}

bool isRootVolume(const std::string& path)
{
    if (path.empty() || !FileUtil::isDirectory(path))
        return false;
    if (path[0] != '/') {
        ConsoleLog::write("ODD - first item MUST always be a Forward Slash \"/\"");
        return false;
    }
    const std::string clean = withoutTrailingSlashes(path);
    if (clean == "/") {
        ConsoleLog::write(" IS Root Path for Startup Volume!!!!");
        return true;
    }
    // Components after the leading "/".
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= clean.size()) {
        const size_t end = clean.find('/', start);
        const std::string part = clean.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty())
            parts.push_back(part);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (!parts.empty() && strcasecmp(parts[0].c_str(), "Volumes") == 0) {
        if (parts.size() <= 2) {
            ConsoleLog::write("Probably is RootVolume???");
            return true;
        }
        ConsoleLog::write("Probably NOT A RootVolume...");
        return false;
    }
    // Here a volume is any mounted file system.
    for (const auto& point : mountPoints())
        if (withoutTrailingSlashes(point) == clean)
            return true;
    return false;
}

bool isInvisibleFileAtPath2(const std::string& path)
{
    const std::string clean = withoutTrailingSlashes(path);
    static const char* systemPaths[] = {"/Network", "/mach", "/mach.sym", "/dev", "/proc", "/sys"};
    for (const char* system : systemPaths)
        if (clean == system)
            return true;
    const std::string name = FileUtil::lastPathComponent(clean);
    return !name.empty() && name[0] == '.' && name != "." && name != "..";
}
