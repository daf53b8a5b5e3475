#include "scan/PhotoDates.h"
#include "PhotoFixtures.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>

using namespace PhotoFixtures;
using namespace std::chrono;

namespace {

PhotoDate utc(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    return PhotoDate(sys_days(year(y) / month(m) / day(d)) + hours(hh) + minutes(mm) + seconds(ss));
}

void setModificationDate(const std::string& path, PhotoDate date)
{
    const auto since = date.time_since_epoch();
    timespec times[2];
    times[0].tv_sec = duration_cast<seconds>(since).count();
    times[0].tv_nsec = 0;
    times[1] = times[0];
    times[1].tv_nsec = static_cast<long>(duration_cast<nanoseconds>(since % seconds(1)).count());
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

} // namespace

// Runs each test under a time zone of its choosing and puts the old one back.
class PhotoDates : public SandboxedTest {
protected:
    void SetUp() override
    {
        if (const char* tz = std::getenv("TZ"))
            fSavedZone = tz;
    }
    void TearDown() override
    {
        if (fSavedZone)
            ::setenv("TZ", fSavedZone->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    static void useZone(const char* zone)
    {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    std::string jpegDated(const std::string& name, const std::string& dateText)
    {
        auto recipe = jpegWith(sampleMetaData());
        recipe.dateTimeOriginal = dateText;
        return writePhoto(fSandbox, name, recipe);
    }
    std::optional<std::string> fSavedZone;
};

TEST_F(PhotoDates, CameraTimeIsReadInTheLocalZone)
{
    useZone("XXX-02"); // two hours east of UTC, all year
    const std::string path = jpegDated("photo.jpg", "2010:09:12 14:33:10");
    EXPECT_EQ(GetInternalPictureCaptureDate(path, false), utc(2010, 9, 12, 12, 33, 10));
    EXPECT_EQ(GetInternalExifPictureCaptureDate(path, true), utc(2010, 9, 12, 12, 33, 10));
    EXPECT_EQ(GetAndUpdateFileCreationDate(path, true, false), utc(2010, 9, 12, 12, 33, 10));
}

TEST_F(PhotoDates, TheZoneOffsetIsTodaysNotTheCaptureDays)
{
    useZone("CET-1CEST,M3.5.0,M10.5.0/3");
    const time_t now = time(nullptr);
    struct tm local { };
    ASSERT_TRUE(localtime_r(&now, &local));
    const bool summerNow = local.tm_gmtoff == 7200;
    // A capture in the other season: its own offset differs from today's.
    const unsigned captureMonth = summerNow ? 1 : 7;
    const seconds todaysOffset(local.tm_gmtoff);
    const seconds captureDaysOffset(summerNow ? 3600 : 7200);
    const std::string path = jpegDated("season.jpg", summerNow ? "2010:01:15 12:00:00" : "2010:07:15 12:00:00");

    const auto read = GetInternalPictureCaptureDate(path, kPictureExifDictionary, kPictureDateTimeOriginal, false);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, utc(2010, captureMonth, 15, 12, 0, 0) - todaysOffset);
    EXPECT_NE(*read, utc(2010, captureMonth, 15, 12, 0, 0) - captureDaysOffset);
}

TEST_F(PhotoDates, CameraTextMustHaveTheExactLayout)
{
    useZone("UTC0");
    EXPECT_EQ(dateFromCameraText("2010:09:12 14:33:10"), utc(2010, 9, 12, 14, 33, 10));
    EXPECT_EQ(dateFromCameraText("1999:12:31 23:59:59"), utc(1999, 12, 31, 23, 59, 59));
    const char* refused[] = {
        "2010:09:12",           // no space: nothing to join a time to
        "2010:09:12T14:33:10",  // no space either
        "2010:09:12 14:33:10 ", // trailing blank
        "2010:09:12  14:33:10", // two blanks
        "0000:00:00 00:00:00",  // what cameras write when the clock was never set
        "2010:02:30 10:00:00",  // no such day
        "2010:09:12 24:00:00",  "2010:09:12 14:33",
        "10:09:12 14:33:10",    "2010/09/12 14:33:10",
        "9999:12:31 23:59:59", // beyond the dates a photo can have
        "1000:01:01 00:00:00",  "",
    };
    for (const char* text : refused)
        EXPECT_EQ(dateFromCameraText(text), std::nullopt) << '"' << text << '"';

    LogLines log;
    EXPECT_EQ(dateFromCameraText(" 2010:09:12 14:33:10"), std::nullopt);
    EXPECT_TRUE(log.contains("This File may NOT have a valid date/time field..."));
}

TEST_F(PhotoDates, FixedKeyFormsReadTheirOwnProperty)
{
    useZone("UTC0");
    auto tiffOnly = jpegWith(std::nullopt);
    tiffOnly.exifText["Exif.Image.DateTime"] = "2011:01:02 03:04:05";
    const std::string tiff = writePhoto(fSandbox, "tiff.jpg", tiffOnly);
    EXPECT_EQ(GetInternalTiffPictureCaptureDate(tiff, false), utc(2011, 1, 2, 3, 4, 5));
    EXPECT_EQ(GetInternalExifPictureCaptureDate(tiff, false), std::nullopt);

    auto pngDated = pngWith(sampleMetaData());
    pngDated.dateTimeOriginal = "2012:06:07 08:09:10";
    const std::string png = writePhoto(fSandbox, "dated.png", pngDated);
    EXPECT_EQ(GetInternalPNGPictureCaptureDate(png, false), utc(2012, 6, 7, 8, 9, 10));
    EXPECT_EQ(GetInternalExifPictureCaptureDate(png, false), utc(2012, 6, 7, 8, 9, 10));
    EXPECT_EQ(GetInternalPNGPictureCaptureDate(jpegDated("dated.jpg", "2012:06:07 08:09:10"), false), std::nullopt);
    // The dictionary name may come without braces and in any case.
    EXPECT_EQ(GetInternalPictureCaptureDate(tiff, "tiff", "DateTime", false), utc(2011, 1, 2, 3, 4, 5));
}

TEST_F(PhotoDates, EachMissingPieceIsLoggedAndYieldsNothing)
{
    LogLines log;
    EXPECT_EQ(GetInternalPictureCaptureDate(fSandbox.file("gone.jpg"), false), std::nullopt);
    EXPECT_TRUE(log.contains("GetInternalPictureCaptureDate for {Exif} with {DateTimeOriginal} => "
                             "GetInternalPictureCaptureDate => CGImageSourceCreateWithURL returned NIL"));
    TestSupport::createFileWithContents(fSandbox.file("text.jpg"), "not an image at all");
    EXPECT_EQ(GetInternalPictureCaptureDate(fSandbox.file("text.jpg"), false), std::nullopt);
    EXPECT_TRUE(log.contains("There is NO MetaData in this Image File..."));
    EXPECT_EQ(GetInternalPictureCaptureDate(writePhoto(fSandbox, "plain.jpg", jpegWith(std::nullopt)), false),
              std::nullopt);
    EXPECT_TRUE(log.contains("This Image File Does NOT have any {Exif} Properties MetaData..."));
    // Exif present (the comment) but no date in it.
    EXPECT_EQ(GetInternalPictureCaptureDate(writePhoto(fSandbox, "undated.jpg", jpegWith(sampleMetaData())), false),
              std::nullopt);
    EXPECT_TRUE(log.contains("GetInternalPictureCaptureDate => kCGImagePropertyTIFFDateTime FAILED????"));
}

TEST_F(PhotoDates, FileDateIsTheEarlierOfBirthAndModification)
{
    useZone("UTC0");
    const PhotoDate before = system_clock::now() - seconds(2);

    // Copied with its modification time kept (cp -p): the old modification date is its age.
    const std::string copied = jpegDated("copied.jpg", "2010:09:12 14:33:10");
    setModificationDate(copied, utc(2001, 5, 6, 7, 8, 9));
    EXPECT_EQ(GetAndUpdateFileCreationDate(copied, false, false), utc(2001, 5, 6, 7, 8, 9));
    EXPECT_EQ(readFileDates(copied)->creation, utc(2001, 5, 6, 7, 8, 9));

    // Written today and touched into the future: the birth time is its age.
    const std::string touched = jpegDated("touched.jpg", "2010:09:12 14:33:10");
    setModificationDate(touched, system_clock::now() + hours(48));
    const auto touchedDate = GetAndUpdateFileCreationDate(touched, false, false);
    ASSERT_TRUE(touchedDate.has_value());
    if (readFileDates(touched)->hasBirthTime) {
        EXPECT_GE(*touchedDate, before);
        EXPECT_LE(*touchedDate, system_clock::now());
    } else {
        EXPECT_GT(*touchedDate, system_clock::now() + hours(47));
    }
    // Asking for the internal date prefers the camera's.
    EXPECT_EQ(GetAndUpdateFileCreationDate(copied, true, false), utc(2010, 9, 12, 14, 33, 10));
}

TEST_F(PhotoDates, PhotosWithoutExifFallBackToTheFileDate)
{
    for (const auto& path : {writePhoto(fSandbox, "plain.png", pngWith(sampleMetaData())),
                             writePhoto(fSandbox, "plain.jpg", jpegWith(std::nullopt))}) {
        LogLines log;
        const auto date = GetAndUpdateFileCreationDate(path, true, false);
        ASSERT_TRUE(date.has_value()) << path;
        EXPECT_EQ(*date, readFileDates(path)->creation) << path;
        EXPECT_TRUE(log.contains("Image File did NOT contain MetaTag Data for Internal Creation Date...")) << path;
        EXPECT_TRUE(log.contains("Returning Creation Date of: [")) << path;
    }
    LogLines log;
    EXPECT_EQ(GetAndUpdateFileCreationDate(fSandbox.file("gone.jpg"), true, false), std::nullopt);
    EXPECT_TRUE(log.contains("GetAndUpdateFileCreationDate -> file may NOT exist anymore?????"));
}

TEST_F(PhotoDates, ZeroCreationDatesGiveWayToTheModificationDate)
{
    const PhotoDate modified = utc(2009, 3, 4, 5, 6, 7);
    EXPECT_EQ(creationDateOrModificationDate({kZeroDate1904, modified, true}), modified);
    EXPECT_EQ(creationDateOrModificationDate({kZeroDate1970, modified, true}), modified);
    EXPECT_EQ(creationDateOrModificationDate({kZeroDate1904 + seconds(1), modified, true}), kZeroDate1904 + seconds(1));
    EXPECT_EQ(creationDateOrModificationDate({kZeroDate1970 - nanoseconds(1), modified, true}),
              kZeroDate1970 - nanoseconds(1));
    EXPECT_EQ(zeroDateKind(utc(1904, 1, 1, 0, 0, 0)), 1);
    EXPECT_EQ(zeroDateKind(utc(1970, 1, 1, 0, 0, 0)), 2);
}

TEST_F(PhotoDates, RealFilesWithTheEpochAsBirthTime)
{
    // Files unpacked from an image often carry a birth time of 1970-01-01.
    std::string zeroFile;
    for (const char* candidate : {"/etc/hostname", "/etc/passwd", "/bin/sh", "/usr/bin/env", "/etc"}) {
        const auto dates = readFileDates(candidate);
        if (dates && dates->hasBirthTime && dates->creation == kZeroDate1970) {
            zeroFile = candidate;
            break;
        }
    }
    if (zeroFile.empty())
        GTEST_SKIP() << "no file with a 1970 birth time on this machine";
    const auto dates = readFileDates(zeroFile);
    LogLines log;
    EXPECT_EQ(GetAndUpdateFileCreationDate(zeroFile, false, true), dates->modification);
    // A birth time cannot be set on Linux: the repair reports its failure.
    EXPECT_TRUE(log.contains("FAILED in changing ZeroDate2 to FileModificationDate"));
    EXPECT_EQ(itemIsEarlierThan(zeroFile, dates->modification + nanoseconds(1), kFileModificationDateAttribute), true);
    EXPECT_EQ(itemIsEarlierThan(zeroFile, dates->modification, kFileModificationDateAttribute), false);
}

TEST_F(PhotoDates, WithoutBirthTimeTheModificationDateStandsInAndIsLoggedOnce)
{
    // procfs keeps no birth time.
    const std::string path = "/proc/self/cmdline";
    const auto dates = readFileDates(path);
    ASSERT_TRUE(dates.has_value());
    if (dates->hasBirthTime)
        GTEST_SKIP() << "this kernel reports birth times on procfs";
    LogLines log;
    EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, false), dates->modification);
    EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, true), dates->modification);
    EXPECT_FALSE(log.contains("FAILED in changing"));
    EXPECT_LE(log.count("No creation date kept for [" + path + "]"), 1u);
}

TEST_F(PhotoDates, FileDatesBeyondTheRepresentableYearsArePinned)
{
    const std::string path = fSandbox.file("future.jpg");
    TestSupport::createFileWithContents(path, "x");
    timespec times[2] = {{0, UTIME_OMIT}, {20218429990, 0}}; // the year 2610
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const auto dates = readFileDates(path);
    ASSERT_TRUE(dates.has_value());
    EXPECT_GT(dates->modification, utc(2261, 1, 1, 0, 0, 0));
    EXPECT_TRUE(itemIsEarlierThan(path, system_clock::now(), kFileCreationDateAttribute) == false);
}

TEST_F(PhotoDates, ItemIsEarlierThanComparesTheCreationDateUnderTheModificationName)
{
    const std::string path = fSandbox.file("old.jpg");
    TestSupport::createFileWithContents(path, "x");
    const PhotoDate modified = utc(2001, 5, 6, 7, 8, 9) + nanoseconds(500);
    setModificationDate(path, modified);
    const PhotoDate yesterday = system_clock::now() - hours(24);

    // The creation-date name compares the modification date...
    EXPECT_TRUE(itemIsEarlierThan(path, yesterday, kFileCreationDateAttribute));
    EXPECT_TRUE(itemIsEarlierThan(path, yesterday, "nsfilecreationdate"));
    EXPECT_FALSE(itemIsEarlierThan(path, modified, kFileCreationDateAttribute)); // equal is not earlier
    EXPECT_TRUE(itemIsEarlierThan(path, modified + nanoseconds(1), kFileCreationDateAttribute));

    // ...and every other name, or none, the creation date: here the old
    // modification date, being earlier than the birth time.
    EXPECT_TRUE(itemIsEarlierThan(path, yesterday, kFileModificationDateAttribute));
    EXPECT_TRUE(itemIsEarlierThan(path, yesterday));
    EXPECT_FALSE(itemIsEarlierThan(path, modified, "NSFileSize"));

    // A file born today but modified in the future is as young as its birth.
    const std::string young = fSandbox.file("young.jpg");
    TestSupport::createFileWithContents(young, "x");
    setModificationDate(young, system_clock::now() + hours(48));
    if (readFileDates(young)->hasBirthTime) {
        EXPECT_FALSE(itemIsEarlierThan(young, yesterday));
        EXPECT_TRUE(itemIsEarlierThan(young, system_clock::now() + hours(1)));
        EXPECT_FALSE(itemIsEarlierThan(young, system_clock::now() + hours(1), kFileCreationDateAttribute));
    }

    LogLines log;
    EXPECT_FALSE(itemIsEarlierThan(fSandbox.file("gone.jpg"), system_clock::now() + hours(24)));
    EXPECT_TRUE(log.contains("itemIsEarlierThan -> file may NOT exist anymore?????"));
}
