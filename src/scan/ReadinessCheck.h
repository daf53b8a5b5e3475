#pragma once

#include "platform/PlistValue.h"
#include "scan/ScanVerdictCache.h"
#include "scan/SettleTracker.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class ExifImage;
class RegularFile;

// Whether one file the scan meets is a photo ready to be sent, and if not,
// why, in the operator's words. Ready means: a photo (not a link, a dot file
// or a movie), with its embedded metadata unless the login may do without,
// whole, and with its movies present and settled:
//  - a JPEG ends with its end-of-image marker; one that does not (some
//    cameras append data) is ready once unchanged for 30 s;
//  - a PNG ends with its metadata tail or its IEND chunk, else as a JPEG;
//  - any other file, and every movie, once unchanged for 2 s.
// Close-after-write events only start a fresh look; they never make a file
// ready by themselves. Runs on the scan thread.
class ReadinessCheck {
public:
    using Duration = SettleTracker::Clock::duration;

    static constexpr std::chrono::seconds kUnfinishedPhotoSettle{30};
    static constexpr std::chrono::seconds kMovieSettle{2};

    struct Settings {
        bool formBaseIdFromFileName = false; // files directly in the folder may be photos
        bool uploadMovie = false;            // a photo waits for its companion movie
        bool mayUploadWithoutMetaData = false;
    };

    enum class Kind {
        NotAPhoto, // dot files and movies: not reported
        Waiting,   // a photo left behind, with its reason
        Ready,
    };

    struct Verdict {
        Kind kind = Kind::NotAPhoto;
        std::string reason;
        // The photo's block, read for the test (for the item to be built).
        std::optional<PlistValue> metaData;
        // When a file it waits for may have settled: look again then.
        std::optional<Duration> lookAgainIn;
        // Set when this check read the file's bytes itself: the file as it was
        // then, and its Exif as read (none when the block came from a PNG's
        // tail). While the file stays so, the item is built from these without
        // reading the photo again.
        std::optional<SettleTracker::Identity> readIdentity;
        std::shared_ptr<const ExifImage> exif;
        // The verdict rests on the file's name and bytes alone (and, when
        // awaitedMovie is set, on that file's absence from the photo's
        // folder): it holds without another look for as long as no change
        // note names the file or that movie. False for whatever rests on
        // time, is logged on every look, or could not be read.
        bool lasting = false;
        std::string awaitedMovie; // a file name in the photo's folder
    };

    // cache: what earlier passes learnt from the files' bytes; none reads every file afresh.
    ReadinessCheck(SettleTracker& tracker, Settings settings, ScanVerdictCache* cache = nullptr)
        : fTracker(tracker), fSettings(settings), fCache(cache)
    {
    }

    // relative: the path below the scanned folder; full: the whole path;
    // isLink: the entry is a symbolic link.
    Verdict check(const std::string& relative, const std::string& full, bool isLink);
    const Settings& settings() const { return fSettings; }

private:
    static ScanVerdictCache::Facts readFacts(const RegularFile& file, const std::string& full,
                                             std::shared_ptr<const ExifImage>& exif);
    // The verdict on a photo from its facts, its settling and its movies.
    Verdict& judge(const std::string& full, const SettleTracker::Identity& identity,
                   const ScanVerdictCache::Facts& facts, Verdict& verdict);
    // Waits when the file has not stayed unchanged for settle yet.
    bool settled(const std::string& path, const SettleTracker::Identity& identity, Duration settle, Verdict& verdict);
    Verdict& lasting(Verdict& verdict);
    bool moviesReady(const std::string& full, Verdict& verdict);

    SettleTracker& fTracker;
    const Settings fSettings;
    ScanVerdictCache* fCache;
    bool fConsultedClock = false; // the check in hand asked how long a file stayed unchanged
};
