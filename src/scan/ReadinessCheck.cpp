#include "scan/ReadinessCheck.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/TextUtil.h"
#include "scan/ExifImage.h"
#include "scan/ExifProbe.h"
#include "scan/PathChecks.h"
#include "scan/PhotoMetaData.h"
#include "scan/RegularFile.h"
#include "scan/WholePhoto.h"

#include <sys/stat.h>

namespace {

const std::string* stringEntry(const PlistValue& dict, const char* key)
{
    const PlistValue* value = dict.find(key);
    return value ? value->asString() : nullptr;
}

ReadinessCheck::Verdict& waiting(ReadinessCheck::Verdict& verdict, std::string reason)
{
    verdict.kind = ReadinessCheck::Kind::Waiting;
    verdict.reason = std::move(reason);
    return verdict;
}

std::string unopenableReason(const RegularFile& file)
{
    return file.error() == "not a regular file" ? "not a regular file" : "unreadable";
}

} // namespace

ReadinessCheck::Verdict& ReadinessCheck::lasting(Verdict& verdict)
{
    verdict.lasting = true;
    return verdict;
}

ReadinessCheck::Verdict ReadinessCheck::check(const std::string& relative, const std::string& full, bool isLink)
{
    fConsultedClock = false;
    Verdict verdict;
    const std::string name = FileUtil::lastPathComponent(relative);
    if (name.empty() || name[0] == '.')
        return lasting(verdict);
    const bool isMovie = TextUtil::equalsIgnoringCase(FileUtil::pathExtension(name), "mov");
    if (isLink)
        return lasting(isMovie ? verdict : waiting(verdict, "a link, not a photo"));

    // Which files may be photos at all.
    bool valid = true;
    if (fSettings.formBaseIdFromFileName) {
        valid = isMovie || IsValidImageObject(full);
    } else if (relative.find('/') == std::string::npos) {
        ConsoleLog::writef("Root Item [%s] May NOT be Uploaded!!!!!", relative.c_str());
        return isMovie ? verdict : waiting(verdict, "lies directly in the source folder");
    }
    if (isMovie) // movies go with their photo, never on their own
        return lasting(verdict);
    if (!valid) {
        const RegularFile file = RegularFile::open(full);
        return file.isOpen() ? lasting(waiting(verdict, "not an image")) : waiting(verdict, unopenableReason(file));
    }
    // What the file's bytes say: remembered from an earlier pass while the
    // file is unchanged, else read now.
    std::optional<ScanVerdictCache::Facts> facts;
    SettleTracker::Identity identity;
    struct stat status { };
    bool withoutStat = false;
    if (fCache) {
        facts = fCache->findUnchanged(full, identity); // no change noted since it was last confirmed
        withoutStat = facts.has_value();
    }
    if (fCache && !facts && ::lstat(full.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        identity = SettleTracker::Identity::of(status);
        facts = fCache->find(full, identity);
    }
    const bool remembered = facts.has_value();
    int64_t readStartedNs = 0;
    if (!remembered) {
        readStartedNs = fCache ? fCache->nowNs() : 0;
        RegularFile file = RegularFile::open(full);
        // A photo of ordinary size is read once, whole: its block, its Exif
        // and its ending are then all taken from memory.
        file.holdWhole(ExifImage::kReadWholeUpTo);
        if (!file.isOpen()) {
            if (!fSettings.mayUploadWithoutMetaData)
                return waiting(verdict, unopenableReason(file));
            // These logins send any file; the upload refuses one it cannot read.
            if (!moviesReady(full, verdict))
                return verdict;
            verdict.kind = Kind::Ready;
            return verdict;
        }
        identity = SettleTracker::Identity::of(file.status());
        facts = readFacts(file, full, verdict.exif);
        verdict.readIdentity = identity;
    }
    judge(full, identity, *facts, verdict);
    if (verdict.kind != Kind::Ready && !fConsultedClock)
        lasting(verdict);
    if (withoutStat && verdict.kind == Kind::Ready && SettleTracker::Identity::ofPath(full) != identity) {
        // Changed since the notes were read at the start of the pass: what was
        // remembered no longer speaks for the file, so it is looked at afresh.
        fCache->forget(full);
        return check(relative, full, isLink);
    }
    if (fCache) {
        // Only photos left behind are remembered; a chosen one leaves the folder.
        if (verdict.kind == Kind::Ready)
            fCache->forget(full);
        else if (!remembered)
            fCache->store(full, identity, std::move(*facts), readStartedNs);
    }
    return verdict;
}

ScanVerdictCache::Facts ReadinessCheck::readFacts(const RegularFile& file, const std::string& full,
                                                  std::shared_ptr<const ExifImage>& exif)
{
    ScanVerdictCache::Facts facts;
    // A PNG's block is its tail, so a PNG cut short has none.
    auto pngMeta = getQuonMetaDataFromPng(full);
    facts.hasPngTail = pngMeta.has_value();
    if (facts.hasPngTail) {
        facts.metaData = std::move(pngMeta);
    } else {
        ExifProbe::Answer answer = ExifProbe::Answer::AskTheLibrary;
        try {
            answer = ExifProbe::jpegUserComment(file);
        } catch (...) {
        }
        if (answer == ExifProbe::Answer::AskTheLibrary) {
            // Read once; the item and the capture date of a chosen photo come from it.
            exif = std::make_shared<const ExifImage>(file, full);
            facts.metaData = getQuonMetaDataFromJpeg(*exif, full);
        } else {
            facts.metaData = getQuonMetaDataFromJpeg(full, file); // settled from the segments
        }
    }
    facts.whole = WholePhoto::check(file);
    return facts;
}

ReadinessCheck::Verdict& ReadinessCheck::judge(const std::string& full, const SettleTracker::Identity& identity,
                                               const ScanVerdictCache::Facts& facts, Verdict& verdict)
{
    verdict.metaData = facts.metaData;
    const WholePhoto::Verdict& whole = facts.whole;
    if (!whole.endsWhole && !(whole.format == WholePhoto::Format::Png && facts.hasPngTail)) {
        // A JPEG or PNG that does not end as it should may still carry data of
        // its own after the image; a format without a known ending is judged
        // like a movie.
        const Duration settle =
            whole.format == WholePhoto::Format::Other ? Duration(kMovieSettle) : Duration(kUnfinishedPhotoSettle);
        if (!settled(full, identity, settle, verdict))
            return waiting(verdict, "still being written");
    }
    if (!verdict.metaData && !fSettings.mayUploadWithoutMetaData)
        return waiting(verdict, "no embedded metadata");
    if (!moviesReady(full, verdict))
        return verdict;
    verdict.kind = Kind::Ready;
    return verdict;
}

bool ReadinessCheck::moviesReady(const std::string& full, Verdict& verdict)
{
    if (fSettings.uploadMovie) {
        const auto movie = companionMovieFilePath(full);
        const auto identity = movie ? SettleTracker::Identity::ofPath(*movie) : std::nullopt;
        if (!identity) {
            waiting(verdict, "waiting for its movie");
            // Any letter case of the extension will do; the note's name is compared so.
            verdict.awaitedMovie = FileUtil::lastPathComponent(FileUtil::pathWithoutExtension(full)) + ".mov";
            return false;
        }
        if (!settled(*movie, *identity, kMovieSettle, verdict)) {
            waiting(verdict, "its movie is still being written");
            return false;
        }
    }
    const std::string* muxedName = verdict.metaData ? stringEntry(*verdict.metaData, "ZV_muxedMovieName") : nullptr;
    if (!muxedName)
        return true;
    const auto muxed = muxedMovieFilePath(full, *muxedName);
    if (!muxed) {
        // A name that could reach outside the photo's folder counts as a missing movie.
        waiting(verdict, "waiting for its muxed movie: [" + *muxedName + "] is not a file name in the photo's folder");
        return false;
    }
    struct stat status { };
    if (::lstat(muxed->c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        waiting(verdict, "waiting for its muxed movie");
        verdict.awaitedMovie = *muxedName;
        return false;
    }
    if (!settled(*muxed, SettleTracker::Identity::of(status), kMovieSettle, verdict)) {
        waiting(verdict, "its muxed movie is still being written");
        return false;
    }
    return true;
}

bool ReadinessCheck::settled(const std::string& path, const SettleTracker::Identity& identity, Duration settle,
                             Verdict& verdict)
{
    fConsultedClock = true;
    const Duration unchanged = fTracker.unchangedFor(path, identity);
    if (unchanged >= settle)
        return true;
    const Duration rest = settle - unchanged;
    if (!verdict.lookAgainIn || rest < *verdict.lookAgainIn)
        verdict.lookAgainIn = rest;
    return false;
}
