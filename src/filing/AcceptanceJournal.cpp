#include "filing/AcceptanceJournal.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kFileName = "acceptance-journal.txt";
// A journal with nothing pending is emptied once it has grown this many lines.
constexpr uint64_t kLinesBeforeEmptying = 4096;

uint32_t checkSum(const std::string& text)
{
    uint32_t hash = 2166136261u; // FNV-1a
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

// Tabs, line ends and the escape character itself are written as %XX.
std::string escaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (c == '%' || c < 0x20 || c == 0x7F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool unescaped(const std::string& text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const std::string hex = text.substr(i + 1, 2);
        char* end = nullptr;
        const long value = std::strtol(hex.c_str(), &end, 16);
        if (hex.size() != 2 || !end || *end)
            return false;
        out.push_back(static_cast<char>(value));
        i += 2;
    }
    return true;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

std::string withCheckSum(const std::string& body)
{
    char check[16];
    std::snprintf(check, sizeof check, "%08x", checkSum(body));
    return std::string(check) + "\t" + body + "\n";
}

std::string identityFields(const AcceptanceJournal::Record& r)
{
    return escaped(r.sourceRoot) + "\t" + escaped(r.item) + "\t" + std::to_string(r.size) + "\t" +
        std::to_string(r.modifiedNs);
}

std::string acceptanceLine(const AcceptanceJournal::Record& r)
{
    const char* where = r.destination == AcceptanceJournal::Destination::MirrorSiteFolder ? "M" : "P";
    return withCheckSum("A\t" + identityFields(r) + "\t" + where + "\t" + escaped(r.destRoot) + "\t" +
                        escaped(r.movie));
}

std::string filedLine(const AcceptanceJournal::Record& r) { return withCheckSum("F\t" + identityFields(r)); }

bool parseNumber(const std::string& text, long long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

// One line of the journal; false for a torn or foreign line.
bool parseLine(const std::string& line, char& kind, AcceptanceJournal::Record& r)
{
    const size_t tab = line.find('\t');
    if (tab != 8)
        return false;
    const std::string body = line.substr(tab + 1);
    char check[16];
    std::snprintf(check, sizeof check, "%08x", checkSum(body));
    if (line.compare(0, 8, check) != 0)
        return false;
    const std::vector<std::string> f = split(body, '\t');
    if (f.empty() || f[0].size() != 1)
        return false;
    kind = f[0][0];
    if (!((kind == 'A' && f.size() == 8) || (kind == 'F' && f.size() == 5)))
        return false;
    long long size = 0, modified = 0;
    if (!unescaped(f[1], r.sourceRoot) || !unescaped(f[2], r.item) || !parseNumber(f[3], size) ||
        !parseNumber(f[4], modified) || size < 0)
        return false;
    r.size = static_cast<uint64_t>(size);
    r.modifiedNs = modified;
    if (kind == 'A') {
        if (f[5] != "M" && f[5] != "P")
            return false;
        r.destination = f[5] == "M" ? AcceptanceJournal::Destination::MirrorSiteFolder
                                    : AcceptanceJournal::Destination::ProblemFolder;
        if (!unescaped(f[6], r.destRoot) || !unescaped(f[7], r.movie))
            return false;
    }
    return true;
}

bool sameIdentity(const AcceptanceJournal::Record& a, const AcceptanceJournal::Record& b)
{
    return a.size == b.size && a.modifiedNs == b.modifiedNs;
}

int64_t modifiedNsOf(const struct stat& st)
{
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

} // namespace

std::string AcceptanceJournal::Record::photoPath() const { return FileUtil::joinPath(sourceRoot, item); }

std::string AcceptanceJournal::Record::moviePath() const
{
    return movie.empty() ? std::string() : FileUtil::joinPath(sourceRoot, movie);
}

AcceptanceJournal::~AcceptanceJournal()
{
    if (fFd >= 0)
        ::close(fFd);
}

AcceptanceJournal& AcceptanceJournal::shared()
{
    static AcceptanceJournal journal;
    return journal;
}

std::string AcceptanceJournal::defaultPath()
{
    return FileUtil::parentFolder(AppPaths::logRoot()) + "/" + kFileName;
}

bool AcceptanceJournal::identify(const std::string& path, uint64_t& size, int64_t& modifiedNs)
{
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<uint64_t>(st.st_size);
    modifiedNs = modifiedNsOf(st);
    return true;
}

bool AcceptanceJournal::Record::isStill(const struct stat& st) const
{
    return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == size && modifiedNsOf(st) == modifiedNs;
}

bool AcceptanceJournal::open(const std::string& path, std::string* error)
{
    std::lock_guard lock(fMutex);
    return openLocked(path, error);
}

bool AcceptanceJournal::openLocked(const std::string& path, std::string* error)
{
    if (fFd >= 0) {
        flushLocked();
        ::close(fFd);
        fFd = -1;
    }
    fPending.clear();
    fPath = path;
    fCounters = {};
    fLinesSinceCompaction = 0;
    std::string why;
    if (!FileUtil::makeFolders(FileUtil::parentFolder(path), 0700, &why)) {
        if (error)
            *error = why;
        return false;
    }
    std::string contents;
    int torn = 0;
    if (FileUtil::exists(path) && FileUtil::readFile(path, contents, &why)) {
        for (const std::string& line : split(contents, '\n')) {
            if (line.empty())
                continue;
            char kind = 0;
            Record r;
            if (!parseLine(line, kind, r)) {
                ++torn;
                continue;
            }
            if (kind == 'A')
                fPending[r.photoPath()] = r;
            else if (auto it = fPending.find(r.photoPath()); it != fPending.end() && sameIdentity(it->second, r))
                fPending.erase(it);
        }
    }
    if (torn > 0)
        ConsoleLog::writef("The acceptance journal [%s] had %d unreadable line(s) (cut off by a crash); they are "
                           "left out",
                           path.c_str(), torn);
    // Rewritten with what is still pending, so a torn tail never runs into the next line.
    std::string compacted;
    for (const auto& [photo, r] : fPending)
        compacted += acceptanceLine(r);
    if (!FileUtil::writeFileAtomically(path, compacted, 0600, &why)) {
        if (error)
            *error = why;
        return false;
    }
    fFd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fFd < 0) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    if (!fPending.empty())
        ConsoleLog::writef("The acceptance journal [%s] holds %zu photo(s) answered but not yet filed; they are "
                           "filed as recorded, without sending them again",
                           path.c_str(), fPending.size());
    return true;
}

void AcceptanceJournal::close()
{
    std::lock_guard lock(fMutex);
    if (fFd >= 0) {
        flushLocked();
        ::close(fFd);
    }
    fFd = -1;
    fPending.clear();
    fPath.clear();
    fTriedDefault = false;
}

bool AcceptanceJournal::isOpen() const
{
    std::lock_guard lock(fMutex);
    return fFd >= 0;
}

std::string AcceptanceJournal::path() const
{
    std::lock_guard lock(fMutex);
    return fPath;
}

bool AcceptanceJournal::ensureOpen()
{
    std::lock_guard lock(fMutex);
    return ensureOpenLocked();
}

bool AcceptanceJournal::ensureOpenLocked()
{
    if (fFd >= 0)
        return true;
    if (fTriedDefault)
        return false;
    fTriedDefault = true;
    std::string error;
    const std::string path = defaultPath();
    if (!openLocked(path, &error)) {
        ConsoleLog::writef("UNABLE to open the acceptance journal [%s]: %s; photos are filed without it",
                           path.c_str(), error.c_str());
        return false;
    }
    return true;
}

bool AcceptanceJournal::appendLocked(const std::string& line)
{
    if (!ensureOpenLocked())
        return false;
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ConsoleLog::writef("UNABLE to write the acceptance journal [%s]: %s", fPath.c_str(),
                               n < 0 ? std::strerror(errno) : "nothing written");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    ++fCounters.lines;
    ++fLinesSinceCompaction;
    if (fUnflushed++ == 0)
        fFirstUnflushed = std::chrono::steady_clock::now();
    if (fUnflushed >= fFlushLines || std::chrono::steady_clock::now() - fFirstUnflushed >= fFlushInterval)
        flushLocked();
    return true;
}

void AcceptanceJournal::flushLocked()
{
    if (fFd < 0 || fUnflushed == 0)
        return;
    if (::fdatasync(fFd) != 0)
        ConsoleLog::writef("The acceptance journal [%s] could not be flushed: %s", fPath.c_str(),
                           std::strerror(errno));
    fUnflushed = 0;
    ++fCounters.flushes;
}

bool AcceptanceJournal::recordAcceptance(const Record& record)
{
    std::lock_guard lock(fMutex);
    if (!appendLocked(acceptanceLine(record)))
        return false;
    fPending[record.photoPath()] = record;
    return true;
}

void AcceptanceJournal::recordFiled(const Record& record)
{
    std::lock_guard lock(fMutex);
    const auto it = fPending.find(record.photoPath());
    if (it == fPending.end() || !sameIdentity(it->second, record))
        return;
    fPending.erase(it);
    if (!appendLocked(filedLine(record)))
        return;
    if (fPending.empty() && fLinesSinceCompaction >= kLinesBeforeEmptying) {
        // Nothing pending: every line is history.
        flushLocked();
        if (::ftruncate(fFd, 0) == 0)
            fLinesSinceCompaction = 0;
    }
}

void AcceptanceJournal::flush()
{
    std::lock_guard lock(fMutex);
    flushLocked();
}

std::optional<AcceptanceJournal::Record> AcceptanceJournal::pendingFor(const std::string& photoPath) const
{
    std::lock_guard lock(fMutex);
    const auto it = fPending.find(photoPath);
    if (it == fPending.end())
        return std::nullopt;
    Record now;
    if (!identify(photoPath, now.size, now.modifiedNs) || !sameIdentity(now, it->second))
        return std::nullopt;
    return it->second;
}

std::optional<AcceptanceJournal::Record> AcceptanceJournal::pendingUnder(const std::string& photoPath) const
{
    std::lock_guard lock(fMutex);
    const auto it = fPending.find(photoPath);
    if (it == fPending.end())
        return std::nullopt;
    return it->second;
}

std::vector<AcceptanceJournal::Record> AcceptanceJournal::pending() const
{
    std::lock_guard lock(fMutex);
    std::vector<Record> list;
    for (const auto& [photo, r] : fPending)
        list.push_back(r);
    return list;
}

AcceptanceJournal::Counters AcceptanceJournal::counters() const
{
    std::lock_guard lock(fMutex);
    return fCounters;
}

void AcceptanceJournal::setFlushPolicy(int lines, std::chrono::milliseconds interval)
{
    std::lock_guard lock(fMutex);
    fFlushLines = lines < 1 ? 1 : lines;
    fFlushInterval = interval;
}
