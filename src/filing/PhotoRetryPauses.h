#pragma once

#include "platform/PlistValue.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The photos that wait before their next attempt, each with a pause of its
// own that grows from 1 s, doubling, to at most 60 s:
//  - a photo the web service did not take (a FAIL, an unreadable reply)
//    stays in the source folder and may be sent again once its pause ends;
//  - a photo the service took but that could not be moved where it belongs
//    is never sent again; its move is tried again once its pause ends;
//  - a photo whose upload the watchdog cut off twice in a row (the service
//    never answered it in time) waits before it is sent again, so that a
//    photo the service always stalls on cannot hold up the others. The count
//    of cut-offs in a row is kept until the photo is answered or filed.
// Other photos go on meanwhile. Photos are known by their full path in the
// source folder. The scan asks one question per photo (mayBeSentNow). The
// state can be written out and read back (toPlist, restore), so a pause may
// outlive the process. Thread-safe.
class PhotoRetryPauses {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kFirstPause{1};
    static constexpr std::chrono::seconds kLongestPause{60};

    enum class Waits { ToBeSent, ToBeFiled };
    enum class Destination { MirrorSiteFolder, ProblemFolder };

    // Where an accepted photo still has to go, and where it lies now.
    struct Filing {
        std::string localRootFolder;
        std::string localItem; // below localRootFolder
        Destination destination = Destination::MirrorSiteFolder;
        // The photo as it was uploaded (size, modification time, inode), so
        // that another photo put there under its name is sent, not filed.
        std::string identity;
        bool operator==(const Filing&) const = default;
    };

    struct Answer {
        bool maySend = true;
        // Until the pause ends; zero for a photo that only waits to be filed.
        Clock::duration wait{};
        // Why not, in the operator's words (with the time of the next attempt).
        std::string reason;
    };

    struct NextAttempt {
        std::string photoPath;
        Waits waits = Waits::ToBeSent;
        std::chrono::system_clock::time_point when;
    };

    // What a watchdog cut-off did to the photo.
    struct CutOff {
        int inARow = 0;
        // The pause before it is sent again; none at the first cut-off in a row.
        std::optional<Clock::duration> pause;
    };

    struct PendingFiling {
        std::string photoPath;
        Filing filing;
    };

    // The clock defaults to the steady clock; tests pass their own.
    explicit PhotoRetryPauses(std::function<Clock::time_point()> now = Clock::now);
    void setClock(std::function<Clock::time_point()> now);

    // The scan's question for each photo it meets.
    Answer mayBeSentNow(const std::string& photoPath) const;

    // The service did not take the photo and it stays: its pause grows.
    // Returns the pause before it may be sent again.
    Clock::duration sendFailed(const std::string& photoPath);
    // The service took the photo but it could not be filed: it is not sent
    // again, and its pause (a new one, when it waited to be sent before)
    // grows. Returns the pause before the move is tried again.
    Clock::duration filingFailed(const std::string& photoPath, const Filing& filing);
    // The photo was filed, or is gone: its pause and its cut-offs end.
    void forget(const std::string& photoPath);
    // The watchdog cut the photo's upload off: counted, and from the second
    // cut-off in a row on, its pause grows.
    CutOff cutOffByWatchdog(const std::string& photoPath);
    // The service answered the photo: its cut-offs, and the pause they
    // brought, end (the answer brings its own pause, if any).
    void answered(const std::string& photoPath);
    int cutOffsInARow(const std::string& photoPath) const;
    // The pauses brought by cut-offs start again, whole, from now: a station
    // relaunched because of the photo calls it when it starts sending, so the
    // pause is spent where other photos can go, not in the relaunch.
    void restartWatchdogPauses();

    // Called after every change (on the thread that made it, outside the
    // lock), so that the pauses can be written out; none by default.
    void setChangeListener(std::function<void()> listener);

    // The photos whose move is due, in path order.
    std::vector<PendingFiling> filingsDue() const;
    // How long until the next move is due; none when no photo waits to be filed.
    std::optional<Clock::duration> nextFilingIn() const;
    // The photo whose next attempt comes first, with that moment on the wall
    // clock (for `quon-ctl status`); none when no photo waits.
    std::optional<NextAttempt> nextAttempt() const;
    // The moment on the wall clock, for the operator ("15:04:05").
    static std::string clockText(std::chrono::system_clock::time_point when);

    std::size_t size() const;

    // The pauses as a property list, each with its next attempt on the wall
    // clock, and the watchdog's cut-offs in a row (an entry may carry only
    // those); restore replaces the pauses with those of such a list and skips
    // entries it cannot read.
    PlistValue toPlist() const;
    void restore(const PlistValue& list);
    // The photos the pauses and the cut-offs are about.
    std::vector<std::string> photos() const;

private:
    struct Entry {
        Waits waits = Waits::ToBeSent;
        Clock::duration pause{};
        Clock::time_point due;
        Filing filing;
        bool cutOff = false; // the pause follows watchdog cut-offs
    };

    Clock::duration grow(Entry& entry, bool restart);
    std::chrono::system_clock::time_point wallClock(Clock::time_point when) const;

    std::function<Clock::time_point()> fNow;
    mutable std::mutex fMutex;
    std::map<std::string, Entry> fEntries;
    std::map<std::string, int> fCutOffs; // watchdog cut-offs in a row, by photo
    std::function<void()> fChangeListener;
    void changed() const;
};
