#pragma once

#include <chrono>
#include <optional>
#include <string>

// Dates of photos and files for the scan and the housekeeping.
//
// A date is a std::chrono::system_clock::time_point: an absolute instant, UTC
// based, that also reaches back before 1970 (the 1904 zero date). Capture
// dates are read from the image's Exif block; file dates come from statx with
// symbolic links followed, the creation date being the earlier of the file's
// birth time and its modification time (a copy that keeps the modification
// time keeps the photo's age, as the creation date travels with a copy on
// other systems).
// Counting nanoseconds, a PhotoDate spans the years 1678 to 2261: a camera
// date outside gives nothing, a file date outside is pinned to the nearer end.
using PhotoDate = std::chrono::system_clock::time_point;

// Sub-dictionaries of image properties and the date properties in them.
inline constexpr const char* kPictureExifDictionary = "{Exif}"; // Exif.Photo.*
inline constexpr const char* kPictureTiffDictionary = "{TIFF}"; // Exif.Image.* (IFD0)
inline constexpr const char* kPicturePngDictionary = "{PNG}";   // Exif.Photo.* of a PNG file only
inline constexpr const char* kPictureDateTimeOriginal = "DateTimeOriginal";
inline constexpr const char* kPictureDateTime = "DateTime";

// Names of the file-date attributes that itemIsEarlierThan accepts.
inline constexpr const char* kFileCreationDateAttribute = "NSFileCreationDate";
inline constexpr const char* kFileModificationDateAttribute = "NSFileModificationDate";

// The two zero dates that file systems report for "no creation date".
inline constexpr PhotoDate kZeroDate1904{std::chrono::seconds(-2082844800)};
inline constexpr PhotoDate kZeroDate1970{std::chrono::seconds(0)};

// The capture date that the camera wrote into property propertyName of the
// sub-dictionary dictionaryName ("{Exif}", "{TIFF}", "{PNG}"; braces and case
// optional). The camera's text, "YYYY:MM:DD HH:MM:SS" in its local time, is
// taken to be in the offset of the local time zone as it is *now*, not as it
// was on the day of capture. Nothing when the file, the property or a strictly
// well-formed date is missing. The flag has no effect.
std::optional<PhotoDate> GetInternalPictureCaptureDate(const std::string& path, const std::string& dictionaryName,
                                                       const std::string& propertyName, bool unusedFlag);
class ExifImage;
// The same from the file's metadata as already read into image.
std::optional<PhotoDate> GetInternalPictureCaptureDate(const ExifImage& image, const std::string& dictionaryName,
                                                       const std::string& propertyName);
// Exif DateTimeOriginal.
std::optional<PhotoDate> GetInternalPictureCaptureDate(const std::string& path, bool unusedFlag);
std::optional<PhotoDate> GetInternalExifPictureCaptureDate(const std::string& path, bool unusedFlag);
// TIFF DateTime.
std::optional<PhotoDate> GetInternalTiffPictureCaptureDate(const std::string& path, bool unusedFlag);
// DateTimeOriginal of a PNG's Exif block.
std::optional<PhotoDate> GetInternalPNGPictureCaptureDate(const std::string& path, bool unusedFlag);

// The camera's date text read as above: date and time split at the first
// space, the date's ":" turned into "-", joined with the local zone's current
// offset and parsed strictly as "YYYY-MM-DD HH:MM:SS +HHMM".
std::optional<PhotoDate> dateFromCameraText(const std::string& text);

// The photo's date: the Exif capture date when useInternalDate and present,
// else the file's creation date, a zero creation date being replaced by the
// modification date. Where the file system keeps no creation date the
// modification date stands in (logged once per file). Repairing zero dates is
// asked for with repairZeroDates, but a birth time cannot be set here, so it
// only logs its failure. Nothing when the file does not exist.
// image, when given, is the photo's metadata as already read: its capture
// date is taken from there instead of reading the file again.
std::optional<PhotoDate> GetAndUpdateFileCreationDate(const std::string& path, bool useInternalDate,
                                                      bool repairZeroDates, const ExifImage* image = nullptr);

// True when the file's date is strictly earlier than cutOff. With the creation
// attribute name (any case) the modification date is compared; with any other
// name, or none, the creation date (a zero date replaced by the modification
// date). False when the file does not exist.
bool itemIsEarlierThan(const std::string& path, PhotoDate cutOff, const char* attributeName = nullptr);

// The two dates of a file as the functions above see them.
struct FileDates {
    PhotoDate creation; // the earlier of birth and modification time; the latter where no birth time is kept
    PhotoDate modification;
    bool hasBirthTime = false;
};
std::optional<FileDates> readFileDates(const std::string& path);

// 1 for the 1904 zero date, 2 for the 1970 one, else 0.
int zeroDateKind(PhotoDate date);

// The creation date unless it is a zero date, then the modification date.
PhotoDate creationDateOrModificationDate(const FileDates& dates);

// "YYYY-MM-DD HH:MM:SS +HHMM" in the local time zone, as dates are logged.
std::string describeDate(PhotoDate date);
