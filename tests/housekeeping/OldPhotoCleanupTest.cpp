#include "housekeeping/OldPhotoCleanup.h"
#include "TestSupport.h"
#include "housekeeping/RecordingMaintenance.h"
#include "scan/PhotoDates.h"
#include "scan/PhotoFixtures.h"

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace PhotoFixtures;
using TestSupport::createFileWithContents;

namespace {

constexpr auto kDay = hours(24);

// Dates the file as `cp -p` would: the modification time of the original, a birth time of now.
void setModified(const std::string& path, PhotoDate when)
{
    const auto since = when.time_since_epoch();
    timespec times[2];
    times[0].tv_sec = duration_cast<seconds>(since).count();
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (since < since.zero() && since % seconds(1) != since.zero())
        times[1].tv_sec -= 1;
    times[1].tv_nsec = static_cast<long>(duration_cast<nanoseconds>(since - seconds(times[1].tv_sec)).count());
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

} // namespace

class OldPhotoCleanupTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        fs::create_directories(mirror());
        UserDefaults& store = UserDefaults::standard();
        store.setString("prefLocalMasterMirrorSiteFolder", mirror());
        store.setBool("prefDoUseDeleteOldPhotos", true);
        store.setObject("prefDaysOldBeforeDeleting", PlistValue::integer(30));
    }
    std::string mirror() const { return fSandbox.file("Mirror"); }
    std::string inMirror(const std::string& relative) const { return mirror() + "/" + relative; }
    std::string photo(const std::string& relative, bool png = false)
    {
        fs::create_directories(fs::path(inMirror(relative)).parent_path());
        const std::string path = inMirror(relative);
        std::string error;
        EXPECT_TRUE(PhotoWriter::writePhoto(path, png ? pngWith(std::nullopt) : jpegWith(std::nullopt), &error))
            << error;
        return path;
    }
    // Runs the worker as the thread does, with the given clock and no settling pause.
    void runWorker(OldPhotoCleanup::Clock now = {})
    {
        OldPhotoCleanup(fProgress, std::move(now), milliseconds(0)).doSetupDeleteOldPhotosThread();
    }
    RecordingMaintenance fProgress;
};

TEST_F(OldPhotoCleanupTest, OldImagesGoYoungOnesStayAndEmptiedFoldersFollow)
{
    const auto now = system_clock::now();
    const std::string copiedOld = photo("Gala/Smith/Smith_001.jpg");
    setModified(copiedOld, now - kDay * 40);
    const std::string oldPng = photo("Gala/Smith/Smith_002.png", true);
    setModified(oldPng, now - kDay * 31);
    const std::string today = photo("Gala/Jones/Jones_001.jpg");
    // Born today, dated ahead: its birth time makes it young.
    const std::string ahead = photo("Gala/Jones/Jones_002.jpg");
    setModified(ahead, now + kDay * 3);
    // The zero dates count as the file's modification date, here the zero date itself.
    const std::string epoch = photo("Old/epoch.jpg");
    setModified(epoch, kZeroDate1970);
    const std::string classic = photo("Old/classic.jpg");
    setModified(classic, kZeroDate1904);

    TestSupport::LogCapture log;
    runWorker();
    EXPECT_FALSE(fs::exists(copiedOld));
    EXPECT_FALSE(fs::exists(oldPng));
    EXPECT_FALSE(fs::exists(epoch));
    EXPECT_FALSE(fs::exists(classic));
    EXPECT_TRUE(fs::exists(today));
    EXPECT_TRUE(fs::exists(ahead));
    // The worker's own empty-folder pass clears the folders the photos left.
    EXPECT_FALSE(fs::exists(inMirror("Gala/Smith")));
    EXPECT_FALSE(fs::exists(inMirror("Old")));
    EXPECT_TRUE(fs::is_directory(mirror()));
    EXPECT_TRUE(log.contains("doSetupDeleteOldPhotosThread - Started..."));
    EXPECT_TRUE(log.contains("doSetupDeleteOldPhotosThread - Done..."));

    const auto calls = fProgress.calls();
    EXPECT_EQ(fProgress.opened(), 1);
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[1], "line1: Deleting the OLD Photos (older than 30 days)...");
    EXPECT_EQ(calls[2], "line2: ");
    EXPECT_EQ(calls[3], "bar: YES");
    EXPECT_TRUE(fProgress.saw("line2: Deleting: Gala/Smith/Smith_001.jpg"));
    EXPECT_EQ(calls.back(), "close");
}

TEST_F(OldPhotoCleanupTest, TheCutOffIsStrictAndZeroDaysMeansBeforeThePass)
{
    const auto dated = system_clock::now() - kDay * 45;
    const std::string atCutOff = photo("a.jpg");
    setModified(atCutOff, dated);
    const std::string justBefore = photo("b.jpg");
    setModified(justBefore, dated - seconds(1));
    runWorker([dated] { return dated + kDay * 30; });
    EXPECT_TRUE(fs::exists(atCutOff));
    EXPECT_FALSE(fs::exists(justBefore));

    UserDefaults::standard().setObject("prefDaysOldBeforeDeleting", PlistValue::integer(0));
    const std::string fresh = photo("fresh.jpg");
    const auto passStart = system_clock::now() + seconds(1);
    runWorker([passStart] { return passStart; });
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(atCutOff));
}

TEST_F(OldPhotoCleanupTest, NonImagesAreNeverDeleted)
{
    const auto old = system_clock::now() - kDay * 400;
    for (const char* name : {"notes.txt", ".hidden.jpg", "fake.jpg", "Gala/.DS_Store", "Gala/order.xml"}) {
        createFileWithContents(inMirror(name), "not a picture");
        setModified(inMirror(name), old);
    }
    runWorker();
    for (const char* name : {"notes.txt", ".hidden.jpg", "fake.jpg", "Gala/.DS_Store", "Gala/order.xml"})
        EXPECT_TRUE(fs::exists(inMirror(name))) << name;
    EXPECT_TRUE(fProgress.saw("line2: Skipping: notes.txt"));
    EXPECT_TRUE(fProgress.saw("line2: Skipping: Gala/order.xml"));
    EXPECT_FALSE(fProgress.saw("line2: Skipping: .hidden.jpg"));
    EXPECT_FALSE(fProgress.saw("line2: Skipping: Gala/.DS_Store"));
}

TEST_F(OldPhotoCleanupTest, NothingOutsideTheMirrorIsTouchedThroughALink)
{
    TestSupport::TempDir elsewhere;
    const std::string outsidePhoto = elsewhere.file("Archive/keep.jpg");
    fs::create_directories(elsewhere.file("Archive/empty"));
    std::string error;
    ASSERT_TRUE(PhotoWriter::writePhoto(outsidePhoto, jpegWith(std::nullopt), &error)) << error;
    setModified(outsidePhoto, system_clock::now() - kDay * 400);
    const auto before = fileState(outsidePhoto);
    fs::create_directory_symlink(elsewhere.file("Archive"), inMirror("Archive link"));
    fs::create_symlink(outsidePhoto, inMirror("photo link.jpg"));

    runWorker();
    EXPECT_TRUE(fs::exists(outsidePhoto));
    EXPECT_EQ(fileState(outsidePhoto), before);
    EXPECT_TRUE(fs::is_directory(elsewhere.file("Archive/empty")));
    EXPECT_TRUE(fs::is_symlink(inMirror("Archive link")));
    EXPECT_TRUE(fs::is_symlink(inMirror("photo link.jpg")));
}

TEST_F(OldPhotoCleanupTest, UnsafeOrMissingMirrorSettingsDeleteNothing)
{
    const std::string old = photo("Gala/old.jpg");
    setModified(old, system_clock::now() - kDay * 400);
    const std::string cwd = fs::current_path();
    fs::current_path(fSandbox.path());
    TestSupport::LogCapture log;
    for (const char* setting : {"", "Mirror", "./Mirror/"}) {
        UserDefaults::standard().setString("prefLocalMasterMirrorSiteFolder", setting);
        runWorker();
    }
    fs::current_path(cwd);
    EXPECT_TRUE(fs::exists(old));
    EXPECT_TRUE(log.contains("deleting nothing in [Mirror]: the folder setting is not an absolute path"));

    UserDefaults::standard().setString("prefLocalMasterMirrorSiteFolder", fSandbox.file("gone"));
    runWorker();
    EXPECT_TRUE(log.contains("testDirectory=> source item FOLDER does NOT exist: " + fSandbox.file("gone")));
    UserDefaults::standard().setString("prefLocalMasterMirrorSiteFolder", old);
    runWorker();
    EXPECT_TRUE(log.contains("testDirectory=> source item is NOT a Folder: " + old));
    EXPECT_TRUE(fs::exists(old));

    // "/" is refused; the clock stands in 1900 so that even a broken guard
    // could not find a photo old enough on this machine. Only the old-photo
    // pass runs: the worker's empty-folder pass has no cut-off.
    log.clear();
    UserDefaults::standard().setString("prefLocalMasterMirrorSiteFolder", "/");
    OldPhotoCleanup(
        fProgress, [] { return system_clock::from_time_t(-2208988800); }, milliseconds(0))
        .deleteOldOldPhotosAndFolderIfEmptyWorks();
    EXPECT_TRUE(log.contains("deleting nothing in [/]: the folder is the root of the file system"));
    EXPECT_EQ(fProgress.opened(), 0);
}

TEST_F(OldPhotoCleanupTest, TurnedOffTheWorkerDoesNothing)
{
    UserDefaults::standard().setBool("prefDoUseDeleteOldPhotos", false);
    const std::string old = photo("Gala/old.jpg");
    setModified(old, system_clock::now() - kDay * 400);
    fs::create_directories(inMirror("Empty"));
    runWorker();
    EXPECT_TRUE(fs::exists(old));
    EXPECT_TRUE(fs::exists(inMirror("Empty")));
    EXPECT_EQ(fProgress.opened(), 0);
}

TEST_F(OldPhotoCleanupTest, TheDaysSettingIsReadConservatively)
{
    UserDefaults& store = UserDefaults::standard();
    store.setObject("prefDaysOldBeforeDeleting", PlistValue::integer(7));
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 7);
    store.setObject("prefDaysOldBeforeDeleting", PlistValue::string("12"));
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 12);
    store.setObject("prefDaysOldBeforeDeleting", PlistValue::real(2.9));
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 2);
    // A negative count would date the cut-off in the future and delete every photo.
    store.setObject("prefDaysOldBeforeDeleting", PlistValue::integer(-5));
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 30);
    store.setObject("prefDaysOldBeforeDeleting", PlistValue::string("soon"));
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 30);
    store.setObject("prefDaysOldBeforeDeleting", PlistValue::integer(1'000'000));
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 32767);
    store.removeObject("prefDaysOldBeforeDeleting");
    TestSupport::LogCapture log;
    EXPECT_EQ(OldPhotoCleanup::daysOldBeforeDeleting(), 30);
    EXPECT_TRUE(log.contains("getPrefDaysOldBeforeDeleting returned nil???"));
}
