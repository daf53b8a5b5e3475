#include "scan/ScanChangeWatch.h"

#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/ScanPass.h"
#include "scan/ScanVerdictCache.h"
#include "scan/UploadItemInfo.h"

#include "../app/RecordingPresenter.h"
#include "TestSupport.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <unistd.h>

using TestSupport::createFileWithContents;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool holds(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string jpegBytes(std::optional<PlistValue> meta)
{
    TestSupport::TempDir dir;
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = std::move(meta);
    const std::string path = dir.file("recipe.jpg");
    EXPECT_TRUE(PhotoWriter::writePhoto(path, recipe));
    return TestSupport::readWholeFile(path);
}

// A photo whose block does not parse: not ready, and as long as the good one.
std::string spoiled(std::string photo)
{
    const size_t at = photo.find("<plist");
    EXPECT_NE(at, std::string::npos);
    photo[at + 1] = 'q';
    return photo;
}

PlistValue simpleMeta()
{
    return PlistValue::dictionary({{"OriginalPath", PlistValue::string("/Volumes/Station/IMG_1.JPG")}});
}

} // namespace

TEST(ScanChangeWatch, NotesNameChangedFilesNewEntriesAndFoldersThatLeave)
{
    TestSupport::TempDir dir;
    if (!ScanChangeWatch::isLocalFileSystem(dir.path()))
        GTEST_SKIP() << "the temporary folder is not on a local file system";
    const std::string folder = dir.file("Smith");
    fs::create_directories(folder);
    createFileWithContents(folder + "/IMG_1.jpg", "one");
    ScanChangeWatch watch;
    ASSERT_TRUE(watch.watch(folder));
    EXPECT_TRUE(watch.collect().changed.empty());

    // Rewritten in place, without its size changing.
    const int fd = ::open((folder + "/IMG_1.jpg").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "two", 3, 0), 3);
    ::close(fd);
    auto notes = watch.collect();
    EXPECT_TRUE(holds(notes.changed, folder + "/IMG_1.jpg"));
    EXPECT_TRUE(notes.cameOrWent.empty()) << "no entry came or went";

    createFileWithContents(folder + "/IMG_2.jpg", "new");
    notes = watch.collect();
    EXPECT_TRUE(holds(notes.changed, folder + "/IMG_2.jpg"));
    ASSERT_EQ(notes.cameOrWent.size(), 1u);
    EXPECT_EQ(notes.cameOrWent[0].folder, folder);
    EXPECT_EQ(notes.cameOrWent[0].name, "IMG_2.jpg");

    fs::rename(folder, dir.file("Smith.old"));
    notes = watch.collect();
    EXPECT_TRUE(holds(notes.unwatched, folder));
    fs::create_directories(folder);
    createFileWithContents(folder + "/IMG_3.jpg", "x");
    EXPECT_TRUE(watch.collect().changed.empty()) << "the new folder at the old path is not watched until told";
}

// Passes over a folder of waiting photos, with the cache's clock in the
// test's hands so the once-a-second full check comes only when told.
class ScanChangeWatchPassTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        if (!ScanChangeWatch::isLocalFileSystem(fSandbox.path()))
            GTEST_SKIP() << "the temporary folder is not on a local file system";
        resetProcessFlags();
        ScanPass::resetDoQuarnel();
        storeStation(source(), mirror());
        store().setString(PrefKey::OrvFuseAction, "upload.upload");
        store().setBool(PrefKey::UploadMovie, false);
        store().setBool(PrefKey::AutoSynchronize, false);
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        // Written files look old to the cache: their reads are kept at once.
        fController->scanVerdictCache().setClock([this] { return fWallNs; });
        fCenter.addObserver(this, cNotification_PrepareUploadStart,
                            [this](const Notification& n) { fItems.push_back(*n.info<UploadItemInfo>()); });
        fs::create_directories(source() + "/Smith");
    }
    void TearDown() override
    {
        fController.reset();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    std::string chosen()
    {
        fItems.clear();
        fController->getCurrentLoginInfo();
        auto request = std::make_shared<ScanRequestInfo>();
        request->localRootFolder = source();
        request->localMirrorFolder = mirror();
        request->userEnteredEventName = "Gala";
        ScanPass(*fController).run(Notification{cNotification_ScanFolder, fController.get(), request});
        resetProcessFlags();
        return fItems.empty() ? std::string("(none)") : fItems.front().localItem;
    }
    std::string file(const std::string& relative) const { return source() + "/" + relative; }
    void write(const std::string& relative, const std::string& bytes) { createFileWithContents(file(relative), bytes); }
    ScanVerdictCache& cache() { return fController->scanVerdictCache(); }
    // Past the file system's clock tick and the cache's full-check interval.
    void aSecondLater() { fWallNs += std::chrono::nanoseconds(ScanVerdictCache::kFullCheckEvery).count(); }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<AppController> fController;
    std::vector<UploadItemInfo> fItems;
    int64_t fWallNs = ScanVerdictCache::systemNowNs() + std::chrono::nanoseconds(1h).count();
    TestSupport::LogCapture fLog;
};

TEST_F(ScanChangeWatchPassTest, UnchangedWaitingPhotosCostNoStatOnLaterPasses)
{
    for (const char* name : {"Smith/A_1.jpg", "Smith/A_2.jpg", "Smith/A_3.jpg"})
        write(name, PhotoWriter::plainJpeg());
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(cache().hitsWithoutStat(), 0u);
    fLog.clear();
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(cache().hitsWithoutStat(), 3u) << "read after their folder was watched: no stat needed";
    EXPECT_FALSE(fLog.contains("getQuonMetaDataFrom")) << "no file was read again";

    // The full check stats them again, and finds them as they were.
    aSecondLater();
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(cache().hitsWithoutStat(), 3u);
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(cache().hitsWithoutStat(), 6u);
    EXPECT_FALSE(fLog.contains("getQuonMetaDataFrom"));
}

TEST_F(ScanChangeWatchPassTest, APhotoRewrittenInPlaceIsLookedAtAfreshAtTheNextPass)
{
    const std::string good = jpegBytes(simpleMeta());
    write("Smith/A_1.jpg", spoiled(good));
    write("Smith/B_1.jpg", good);
    EXPECT_EQ(chosen(), "Smith/B_1.jpg");
    EXPECT_EQ(chosen(), "Smith/B_1.jpg");
    EXPECT_EQ(chosen(), "Smith/B_1.jpg");
    ASSERT_GT(cache().hitsWithoutStat(), 0u);

    // Same size, same name, same folder: only the file's own times move.
    const int fd = ::open(file("Smith/A_1.jpg").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, good.data(), good.size(), 0), static_cast<ssize_t>(good.size()));
    ::close(fd);
    EXPECT_EQ(chosen(), "Smith/A_1.jpg") << "the first in name order, as soon as it is ready";
}

TEST_F(ScanChangeWatchPassTest, AReadJustAfterAWriteIsKeptBecauseALaterWriteLeavesANote)
{
    // Written "now" on the cache's clock: inside the racy window.
    fWallNs = ScanVerdictCache::systemNowNs();
    const std::string good = jpegBytes(simpleMeta());
    write("Smith/A_1.jpg", spoiled(good));
    EXPECT_EQ(chosen(), "(none)");
    fLog.clear();
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_FALSE(fLog.contains("getQuonMetaDataFrom")) << "kept, though its times are young";
    write("Smith/A_1.jpg", good);
    EXPECT_EQ(chosen(), "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchPassTest, NewEntriesAndReplacedFoldersAreListedAfresh)
{
    write("Smith/B_1.jpg", PhotoWriter::plainJpeg());
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(chosen(), "(none)");

    write("Smith/A_1.jpg", jpegBytes(simpleMeta()));
    EXPECT_EQ(chosen(), "Smith/A_1.jpg");
    fs::remove(file("Smith/A_1.jpg"));
    EXPECT_EQ(chosen(), "(none)");

    // Another folder under the same name, with a ready photo of the same name
    // as the waiting one.
    fs::rename(file("Smith"), file("Smith.old"));
    fs::create_directories(file("Smith"));
    write("Smith/B_1.jpg", jpegBytes(simpleMeta()));
    EXPECT_EQ(chosen(), "Smith/B_1.jpg");
}

TEST_F(ScanChangeWatchPassTest, AChangeThatLeavesNoNoteIsSeenAtTheFullCheck)
{
    // A writer that maps the file and writes through the map: the kernel
    // notes nothing until the map goes.
    const std::string good = jpegBytes(simpleMeta());
    write("Smith/A_1.jpg", spoiled(good));
    const int fd = ::open(file("Smith/A_1.jpg").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* map = ::mmap(nullptr, good.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    ::close(fd);
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(chosen(), "(none)");
    const auto before = SettleTracker::Identity::ofPath(file("Smith/A_1.jpg"));
    std::memcpy(map, good.data(), good.size());
    ::msync(map, good.size(), MS_SYNC);
    const bool timesMoved = SettleTracker::Identity::ofPath(file("Smith/A_1.jpg")) != before;
    std::string within, atTheFullCheck;
    if (timesMoved) {
        within = chosen();
        aSecondLater();
        atTheFullCheck = chosen();
    }
    ::munmap(map, good.size());
    if (!timesMoved)
        GTEST_SKIP() << "this file system keeps the times of a file written through a map";
    EXPECT_EQ(within, "(none)") << "within the second, the photo is taken as it was";
    EXPECT_EQ(atTheFullCheck, "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchPassTest, AMapThatGoesLeavesANote)
{
    const std::string good = jpegBytes(simpleMeta());
    write("Smith/A_1.jpg", spoiled(good));
    const int fd = ::open(file("Smith/A_1.jpg").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* map = ::mmap(nullptr, good.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    ::close(fd);
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(chosen(), "(none)");
    std::memcpy(map, good.data(), good.size());
    ::munmap(map, good.size());
    EXPECT_EQ(chosen(), "Smith/A_1.jpg") << "the writer is done with the file once its map goes";
}
