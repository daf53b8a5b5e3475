#include "scan/ScanChangeWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr uint32_t kNotedChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

ScanChangeWatch::~ScanChangeWatch()
{
    if (fFd >= 0)
        ::close(fFd);
}

bool ScanChangeWatch::isLocalFileSystem(const std::string& folder)
{
    struct statfs info { };
    if (::statfs(folder.c_str(), &info) != 0)
        return false;
    // File systems that live on this machine's own disks and cards; every
    // change to them passes through this kernel and so through its notes.
    switch (static_cast<uint64_t>(info.f_type)) {
        case 0xEF53:     // ext2, ext3, ext4
        case 0x58465342: // xfs
        case 0x9123683E: // btrfs
        case 0x01021994: // tmpfs
        case 0xF2F52010: // f2fs
        case 0x4D44:     // vfat (camera cards)
        case 0x2011BAB0: // exfat (camera cards)
            return true;
        default: return false;
    }
}

bool ScanChangeWatch::watch(const std::string& folder)
{
    if (fUnavailable)
        return false;
    if (fFd < 0) {
        fFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fFd < 0) {
            fUnavailable = true;
            return false;
        }
    }
    if (!isLocalFileSystem(folder))
        return false;
    const int wd = ::inotify_add_watch(fFd, folder.c_str(), kNotedChanges);
    if (wd < 0)
        return false;
    std::vector<std::string>& paths = fFolders[wd];
    if (std::find(paths.begin(), paths.end(), folder) == paths.end())
        paths.push_back(folder);
    return true;
}

ScanChangeWatch::Notes ScanChangeWatch::collect()
{
    Notes notes;
    if (fFd < 0)
        return notes;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = ::read(fFd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break; // EAGAIN: nothing more
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                notes.lostTrack = true;
                continue;
            }
            const auto it = fFolders.find(event->wd);
            if (it == fFolders.end())
                continue;
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                notes.unwatched.insert(notes.unwatched.end(), it->second.begin(), it->second.end());
                if (!(event->mask & IN_IGNORED))
                    ::inotify_rm_watch(fFd, event->wd);
                fFolders.erase(it);
                continue;
            }
            if (event->len == 0)
                continue;
            const std::string name(event->name, ::strnlen(event->name, event->len));
            for (const std::string& folder : it->second) {
                notes.changed.push_back(folder + "/" + name);
                if (event->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
                    notes.cameOrWent.push_back({folder, name});
                    if (event->mask & IN_ISDIR) // whatever was known beneath it no longer holds
                        notes.unwatched.push_back(folder + "/" + name);
                }
            }
        }
    }
    return notes;
}
