#include "scan/PhotoDates.h"

#include "platform/ConsoleLog.h"
#include "scan/ExifImage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unordered_set>

namespace {

using namespace std::chrono;

// PhotoDate counts nanoseconds, so it spans the years 1678 to 2261 only.
constexpr seconds kEarliest = duration_cast<seconds>(PhotoDate::min().time_since_epoch()) + seconds(1);
constexpr seconds kLatest = duration_cast<seconds>(PhotoDate::max().time_since_epoch()) - seconds(1);

// A file date outside that span is pinned to its end rather than overflowing.
PhotoDate fromTimestamp(const struct statx_timestamp& t)
{
    const seconds whole = std::clamp(seconds(t.tv_sec), kEarliest, kLatest);
    return PhotoDate(duration_cast<system_clock::duration>(whole + nanoseconds(t.tv_nsec)));
}

// The missing birth time is worth one line per file, not one per scan pass.
bool firstReportFor(const std::string& path)
{
    static std::mutex mutex;
    static std::unordered_set<std::string> reported;
    std::lock_guard lock(mutex);
    if (reported.size() >= 10000)
        reported.clear();
    return reported.insert(path).second;
}

// The offset of the local time zone at this moment, as "+HHMM".
std::optional<std::string> currentZoneOffsetText()
{
    // tzset: a changed TZ (or zone file) applies from the next call on.
    tzset();
    const time_t now = time(nullptr);
    struct tm local { };
    if (!localtime_r(&now, &local))
        return std::nullopt;
    char text[8];
    if (std::strftime(text, sizeof text, "%z", &local) != 5)
        return std::nullopt;
    return std::string(text);
}

bool digitsAt(const std::string& text, size_t at, size_t count, int& value)
{
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Exactly "YYYY-MM-DD HH:MM:SS +HHMM" with a real calendar date and time.
std::optional<PhotoDate> parseZonedDateText(const std::string& text)
{
    if (text.size() != 25 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
        text[16] != ':' || text[19] != ' ' || (text[20] != '+' && text[20] != '-'))
        return std::nullopt;
    int year, month, day, hour, minute, second, zoneHours, zoneMinutes;
    if (!digitsAt(text, 0, 4, year) || !digitsAt(text, 5, 2, month) || !digitsAt(text, 8, 2, day) ||
        !digitsAt(text, 11, 2, hour) || !digitsAt(text, 14, 2, minute) || !digitsAt(text, 17, 2, second) ||
        !digitsAt(text, 21, 2, zoneHours) || !digitsAt(text, 23, 2, zoneMinutes))
        return std::nullopt;
    const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59 || zoneHours > 23 || zoneMinutes > 59)
        return std::nullopt;
    const seconds offset = (text[20] == '-' ? -1 : 1) * (hours(zoneHours) + minutes(zoneMinutes));
    const seconds instant =
        sys_days(date).time_since_epoch() + hours(hour) + minutes(minute) + seconds(second) - offset;
    if (instant < kEarliest || instant > kLatest)
        return std::nullopt;
    return PhotoDate(duration_cast<system_clock::duration>(instant));
}

std::optional<PhotoDate> cameraTextToDate(const std::string& text, const std::string& logPrefix)
{
    const size_t space = text.find(' ');
    if (space == 0) {
        ConsoleLog::writef("%s This File may NOT have a valid date/time field...", logPrefix.c_str());
        return std::nullopt;
    }
    std::string datePart = text.substr(0, space);
    const std::string timePart = space == std::string::npos ? std::string() : text.substr(space + 1);
    std::replace(datePart.begin(), datePart.end(), ':', '-');
    const auto zone = currentZoneOffsetText();
    if (!zone) {
        ConsoleLog::writef("%s currentDateAsNSString is NIL???", logPrefix.c_str());
        return std::nullopt;
    }
    return parseZonedDateText(datePart + " " + timePart + " " + *zone);
}

// "{Exif}", "Exif", "EXIF" all name the same sub-dictionary.
std::string normalizedDictionaryName(const std::string& name)
{
    std::string out;
    for (const char c : name)
        if (c != '{' && c != '}')
            out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

bool hasGroup(const Exiv2::ExifData& exif, const char* group)
{
    return std::any_of(exif.begin(), exif.end(), [group](const Exiv2::Exifdatum& datum) {
        return datum.familyName() == std::string("Exif") && datum.groupName() == group;
    });
}

} // namespace

std::optional<PhotoDate> GetInternalPictureCaptureDate(const std::string& path, const std::string& dictionaryName,
                                                       const std::string& propertyName, bool /*unusedFlag*/)
{
    try {
        return GetInternalPictureCaptureDate(ExifImage(path), dictionaryName, propertyName);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<PhotoDate> GetInternalPictureCaptureDate(const ExifImage& image, const std::string& dictionaryName,
                                                       const std::string& propertyName)
{
    try {
        const std::string prefix = stringWithFormat("GetInternalPictureCaptureDate for %s with {%s} =>",
                                                    dictionaryName.c_str(), propertyName.c_str());
        if (image.status() == ExifImage::Status::CannotOpen) {
            ConsoleLog::writef("%s GetInternalPictureCaptureDate => CGImageSourceCreateWithURL returned NIL",
                               prefix.c_str());
            return std::nullopt;
        }
        if (image.status() != ExifImage::Status::Read) {
            ConsoleLog::writef("%s There is NO MetaData in this Image File...", prefix.c_str());
            return std::nullopt;
        }
        const std::string dictionary = normalizedDictionaryName(dictionaryName);
        const char* group = nullptr;
        if (dictionary == "exif" || (dictionary == "png" && image.isPng()))
            group = "Photo";
        else if (dictionary == "tiff")
            group = "Image";
        if (!group || !hasGroup(image.exifData(), group)) {
            ConsoleLog::writef("%s This Image File Does NOT have any %s Properties MetaData...", prefix.c_str(),
                               dictionaryName.c_str());
            return std::nullopt;
        }
        const auto text = image.textValue(std::string("Exif.") + group + "." + propertyName);
        if (!text) {
            ConsoleLog::writef("%s GetInternalPictureCaptureDate => kCGImagePropertyTIFFDateTime FAILED????",
                               prefix.c_str());
            return std::nullopt;
        }
        return cameraTextToDate(*text, prefix);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<PhotoDate> GetInternalPictureCaptureDate(const std::string& path, bool unusedFlag)
{
    return GetInternalPictureCaptureDate(path, kPictureExifDictionary, kPictureDateTimeOriginal, unusedFlag);
}

std::optional<PhotoDate> GetInternalExifPictureCaptureDate(const std::string& path, bool unusedFlag)
{
    return GetInternalPictureCaptureDate(path, kPictureExifDictionary, kPictureDateTimeOriginal, unusedFlag);
}

std::optional<PhotoDate> GetInternalTiffPictureCaptureDate(const std::string& path, bool unusedFlag)
{
    return GetInternalPictureCaptureDate(path, kPictureTiffDictionary, kPictureDateTime, unusedFlag);
}

std::optional<PhotoDate> GetInternalPNGPictureCaptureDate(const std::string& path, bool unusedFlag)
{
    return GetInternalPictureCaptureDate(path, kPicturePngDictionary, kPictureDateTimeOriginal, unusedFlag);
}

std::optional<PhotoDate> dateFromCameraText(const std::string& text)
{
    try {
        return cameraTextToDate(text, "dateFromCameraText =>");
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<FileDates> readFileDates(const std::string& path)
{
    struct statx info { };
    if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME, &info) != 0)
        return std::nullopt;
    FileDates dates;
    dates.modification = fromTimestamp(info.stx_mtime);
    dates.hasBirthTime = (info.stx_mask & STATX_BTIME) != 0;
    // Copies that keep the modification time (cp -p, rsync -t, card readers)
    // get a new birth time: the earlier of the two is the photo's age.
    dates.creation =
        dates.hasBirthTime ? std::min(fromTimestamp(info.stx_btime), dates.modification) : dates.modification;
    if (!dates.hasBirthTime && firstReportFor(path))
        ConsoleLog::writef("No creation date kept for [%s] by its file system; its modification date stands in",
                           path.c_str());
    return dates;
}

int zeroDateKind(PhotoDate date)
{
    if (date == kZeroDate1904)
        return 1;
    if (date == kZeroDate1970)
        return 2;
    return 0;
}

PhotoDate creationDateOrModificationDate(const FileDates& dates)
{
    return zeroDateKind(dates.creation) != 0 ? dates.modification : dates.creation;
}

std::optional<PhotoDate> GetAndUpdateFileCreationDate(const std::string& path, bool useInternalDate,
                                                      bool repairZeroDates, const ExifImage* image)
{
    try {
        if (useInternalDate) {
            if (auto internal = image
                    ? GetInternalPictureCaptureDate(*image, kPictureExifDictionary, kPictureDateTimeOriginal)
                    : GetInternalPictureCaptureDate(path, kPictureExifDictionary, kPictureDateTimeOriginal, false))
                return internal;
            ConsoleLog::writef("GetAndUpdateFileCreationDate -> Image File did NOT contain MetaTag Data for "
                               "Internal Creation Date...");
        }
        const auto dates = readFileDates(path);
        if (!dates) {
            ConsoleLog::writef("GetAndUpdateFileCreationDate -> file may NOT exist anymore?????");
            return std::nullopt;
        }
        const int zero = dates->hasBirthTime ? zeroDateKind(dates->creation) : 0;
        const PhotoDate result = zero != 0 ? dates->modification : dates->creation;
        // Linux offers no call that sets a birth time, so a repair always fails.
        if (zero == 1 && repairZeroDates)
            ConsoleLog::writef("FAILED in changing ZeroDate to FileModificationDate\n");
        else if (zero == 2 && repairZeroDates)
            ConsoleLog::writef("FAILED in changing ZeroDate2 to FileModificationDate\n");
        ConsoleLog::writef("Returning Creation Date of: [%s]", describeDate(result).c_str());
        return result;
    } catch (...) {
        return std::nullopt;
    }
}

bool itemIsEarlierThan(const std::string& path, PhotoDate cutOff, const char* attributeName)
{
    try {
        const auto dates = readFileDates(path);
        if (!dates) {
            ConsoleLog::writef("itemIsEarlierThan -> file may NOT exist anymore?????");
            return false;
        }
        const char* attribute = attributeName ? attributeName : kFileModificationDateAttribute;
        PhotoDate compared = dates->creation;
        if (strcasecmp(attribute, kFileCreationDateAttribute) == 0) {
            compared = dates->modification;
        } else if (const int zero = dates->hasBirthTime ? zeroDateKind(dates->creation) : 0) {
            ConsoleLog::writef("itemIsEarlierThan -> [%s] has the zero creation date %s; using its modification date",
                               path.c_str(), zero == 1 ? "1904-01-01 00:00:00 +0000" : "1970-01-01 00:00:00 +0000");
            compared = dates->modification;
        }
        return compared < cutOff;
    } catch (...) {
        return false;
    }
}

std::string describeDate(PhotoDate date)
{
    const time_t seconds = system_clock::to_time_t(date);
    struct tm local { };
    tzset();
    if (!localtime_r(&seconds, &local))
        return "(null)";
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
        return "(null)";
    return text;
}
