// The ways stations and operators change a source folder under a scan that
// trusts the kernel's change notes: each must still bring a photo that
// becomes ready within a pass or two, and never one that is not ready. The
// cache's clock stands still, so no once-a-second full check hides a missed
// note unless the test says so.
#include "ScanChangeWatchFixture.h"

#include "scan/ReadinessCheck.h"

#include <climits>
#include <fstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The descriptors of this process that are inotify instances.
std::vector<int> inotifyDescriptors()
{
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = fs::read_symlink(entry.path(), ec);
        if (!ec && target.string() == "anon_inode:inotify")
            found.push_back(std::stoi(entry.path().filename().string()));
    }
    return found;
}

// Watches held by an inotify descriptor, as the kernel reports them; only
// those that note writes (the scan's, not the folder watcher's).
int watchesOf(int fd)
{
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    int count = 0;
    for (std::string line; std::getline(info, line);) {
        const size_t at = line.find(" mask:");
        if (line.rfind("inotify wd:", 0) == 0 && at != std::string::npos &&
            (std::stoul(line.substr(at + 6), nullptr, 16) & IN_MODIFY))
            ++count;
    }
    return count;
}

// The scan's own inotify descriptors: those whose watches note writes.
std::vector<int> scanDescriptors()
{
    std::vector<int> found;
    for (const int fd : inotifyDescriptors())
        if (watchesOf(fd) > 0)
            found.push_back(fd);
    return found;
}

void setTimes(const std::string& path, const struct stat& like)
{
    const timespec times[2] = {like.st_atim, like.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

} // namespace

class ScanChangeWatchHostileTest : public ScanChangeWatchPassTest {
protected:
    // Runs passes until one chooses a photo; none after a few passes.
    std::string chosenWithin(int passes)
    {
        std::string got = "(none)";
        for (int i = 0; i < passes && got == "(none)"; ++i)
            got = chosen();
        return got;
    }
    // Passes over an unchanged folder until every waiting photo is known without a stat.
    void settle()
    {
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(chosen(), "(none)");
    }
    const std::string fGood = jpegBytes(simpleMeta());
    const std::string fSpoiled = spoiled(fGood);
};

TEST_F(ScanChangeWatchHostileTest, APhotoRenamedOverTheWaitingOneIsTaken)
{
    write("Smith/A_1.jpg", fSpoiled);
    settle();
    write("Smith/.A_1.jpg.tmp", fGood);
    fs::rename(file("Smith/.A_1.jpg.tmp"), file("Smith/A_1.jpg"));
    EXPECT_EQ(chosenWithin(3), "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, MetadataAddedInPlaceWithTheTimesPutBackIsSeen)
{
    write("Smith/A_1.jpg", fSpoiled);
    struct stat before { };
    ASSERT_EQ(::stat(file("Smith/A_1.jpg").c_str(), &before), 0);
    settle();
    // Same size, and the modification time set back as it was.
    const int fd = ::open(file("Smith/A_1.jpg").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, fGood.data(), fGood.size(), 0), static_cast<ssize_t>(fGood.size()));
    ::close(fd);
    setTimes(file("Smith/A_1.jpg"), before);
    EXPECT_EQ(chosenWithin(3), "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, AClientFolderDeletedAndMadeAgainIsListedAfresh)
{
    write("Smith/A_1.jpg", fSpoiled);
    fs::create_directories(file("Smith/Day1"));
    write("Smith/Day1/B_1.jpg", fSpoiled);
    settle();
    fs::remove_all(file("Smith"));
    EXPECT_EQ(chosen(), "(none)");
    fs::create_directories(file("Smith/Day1"));
    write("Smith/Day1/B_1.jpg", fSpoiled);
    write("Smith/A_1.jpg", fSpoiled);
    settle();
    write("Smith/Day1/B_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith/Day1/B_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, AFolderRenamedAwayAndAnotherRenamedInAreBothSeenAsTheyAre)
{
    write("Smith/A_1.jpg", fSpoiled);
    fs::create_directories(file("Incoming"));
    createFileWithContents(fSandbox.file("Staging/A_1.jpg"), fGood);
    settle();
    fs::rename(file("Smith"), file("Smith.away")); // still inside the source: walked as a folder
    fs::rename(fSandbox.file("Staging"), file("Smith"));
    EXPECT_EQ(chosenWithin(3), "Smith/A_1.jpg");
    fs::remove(file("Smith/A_1.jpg"));
    EXPECT_EQ(chosenWithin(3), "(none)") << "the folder renamed away still holds only its waiting photo";
    // The folder renamed away is watched under its new name.
    write("Smith.away/A_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith.away/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, ChangesInSubSubFoldersAreNoted)
{
    fs::create_directories(file("Smith/Day1/Set2"));
    write("Smith/Day1/Set2/A_1.jpg", fSpoiled);
    settle();
    write("Smith/Day1/Set2/A_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith/Day1/Set2/A_1.jpg");
    fs::remove(file("Smith/Day1/Set2/A_1.jpg"));
    settle();
    // A new deeper folder under a folder whose listing is kept.
    fs::create_directories(file("Smith/Day1/Set2/Set3"));
    write("Smith/Day1/Set2/Set3/B_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith/Day1/Set2/Set3/B_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, AHardLinkWrittenThroughItsOtherNameIsSeenAtTheFullCheck)
{
    // The writer's own name for the photo lies outside the source folder: a
    // write through it leaves no note in the source, only new times.
    createFileWithContents(fSandbox.file("Staging/A_1.jpg"), fSpoiled);
    ASSERT_EQ(::link(fSandbox.file("Staging/A_1.jpg").c_str(), file("Smith/A_1.jpg").c_str()), 0);
    settle();
    const int fd = ::open(fSandbox.file("Staging/A_1.jpg").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, fGood.data(), fGood.size(), 0), static_cast<ssize_t>(fGood.size()));
    ::close(fd);
    EXPECT_EQ(chosen(), "(none)") << "within the second, taken as it was";
    aSecondLater();
    EXPECT_EQ(chosen(), "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, ASourceFolderOnAnotherFileSystemIsWatchedToo)
{
    const std::string shm = "/dev/shm";
    if (!fs::is_directory(shm) || ::access(shm.c_str(), W_OK) != 0)
        GTEST_SKIP() << "no memory file system to write to";
    char pattern[] = "/dev/shm/quon-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    fSource = pattern;
    storeStation(source(), mirror());
    fs::create_directories(file("Smith"));
    write("Smith/A_1.jpg", fSpoiled);
    settle();
    EXPECT_GT(cache().hitsWithoutStat(), 0u) << "a memory file system is local: its notes are trusted";
    write("Smith/A_1.jpg", fGood);
    const std::string got = chosenWithin(3);
    fs::remove_all(fSource);
    EXPECT_EQ(got, "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, TheSourceFolderReplacedIsWalkedAsItIsNow)
{
    write("Smith/A_1.jpg", fSpoiled);
    write("Smith/B_1.jpg", fSpoiled);
    settle();
    createFileWithContents(fSandbox.file("NewSource/Smith/B_1.jpg"), fGood);
    fs::rename(source(), fSandbox.file("OldSource"));
    fs::rename(fSandbox.file("NewSource"), source());
    EXPECT_EQ(chosenWithin(3), "Smith/B_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, ASourceFolderReachedThroughALinkIsFollowedWhenTheLinkMoves)
{
    fSource = fSandbox.file("Link");
    fs::create_directories(fSandbox.file("RealA/Smith"));
    createFileWithContents(fSandbox.file("RealA/Smith/A_1.jpg"), fSpoiled);
    fs::create_directory_symlink(fSandbox.file("RealA"), fSource);
    storeStation(source(), mirror());
    settle();
    // The link now points at another folder: no note says so.
    createFileWithContents(fSandbox.file("RealB/Smith/A_1.jpg"), fGood);
    fs::remove(fSource);
    fs::create_directory_symlink(fSandbox.file("RealB"), fSource);
    EXPECT_EQ(chosenWithin(3), "Smith/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, ALinkedClientFolderIsNeverEnteredNorItsPhotosSent)
{
    createFileWithContents(fSandbox.file("Elsewhere/A_1.jpg"), fSpoiled);
    fs::create_directory_symlink(fSandbox.file("Elsewhere"), file("Jones"));
    settle();
    createFileWithContents(fSandbox.file("Elsewhere/A_1.jpg"), fGood);
    EXPECT_EQ(chosenWithin(3), "(none)");
    // Replaced by a real folder of the same name: entered.
    fs::remove(file("Jones"));
    fs::create_directories(file("Jones"));
    write("Jones/A_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Jones/A_1.jpg");
}

TEST_F(ScanChangeWatchHostileTest, AnOverflowingQueueFallsBackToAFullCheck)
{
    write("Smith/A_1.jpg", fSpoiled);
    write("Smith/Z_1.jpg", fSpoiled);
    write("Smith/Z_2.jpg", fSpoiled);
    settle();
    long limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    if (limit > 200000)
        GTEST_SKIP() << "the kernel's queue is too long to overflow here";
    // Alternating notes are never merged: twice the queue's length of them.
    const std::string z1 = file("Smith/Z_1.jpg"), z2 = file("Smith/Z_2.jpg");
    for (long i = 0; i <= limit; ++i) {
        ASSERT_EQ(::utimensat(AT_FDCWD, z1.c_str(), nullptr, 0), 0);
        ASSERT_EQ(::utimensat(AT_FDCWD, z2.c_str(), nullptr, 0), 0);
    }
    // The note of this change is lost in the overflow.
    write("Smith/A_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith/A_1.jpg");
    // And the notes are trusted again afterwards.
    fs::remove(file("Smith/A_1.jpg"));
    settle();
    write("Smith/Z_2.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith/Z_2.jpg");
}

TEST_F(ScanChangeWatchHostileTest, TheNotesDescriptorIsClosedOnExecAndOneForAllPassesAndFolders)
{
    for (int i = 0; i < 30; ++i)
        fs::create_directories(file("Client" + std::to_string(i)));
    write("Smith/A_1.jpg", fSpoiled);
    settle();
    for (int i = 0; i < 30; ++i) {
        fs::remove_all(file("Client" + std::to_string(i)));
        fs::create_directories(file("Client" + std::to_string(i)));
        EXPECT_EQ(chosen(), "(none)");
    }
    const std::vector<int> scan = scanDescriptors();
    ASSERT_EQ(scan.size(), 1u) << "one instance for the station, whatever it walks";
    EXPECT_LE(watchesOf(scan.front()), 32) << "the source, its client folders, nothing left over";
    for (const int fd : inotifyDescriptors())
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "a relaunched station must not inherit it";
}

TEST_F(ScanChangeWatchHostileTest, ASourceFolderChangedInTheSettingsLeavesNoWatchBehind)
{
    for (int i = 0; i < 20; ++i)
        fs::create_directories(file("Client" + std::to_string(i)));
    write("Smith/A_1.jpg", fSpoiled);
    settle();
    const std::vector<int> scan = scanDescriptors();
    ASSERT_EQ(scan.size(), 1u);
    const int fd = scan.front();
    EXPECT_GE(watchesOf(fd), 22);

    const std::string old = source();
    fSource = fSandbox.file("Source2");
    storeStation(source(), mirror());
    fs::create_directories(file("Smith"));
    write("Smith/A_1.jpg", fSpoiled);
    settle();
    EXPECT_EQ(watchesOf(fd), 2) << "the new source and its one client folder";
    // The old folder's changes no longer concern the scan; the new one's do.
    createFileWithContents(old + "/Smith/B_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "(none)");
    write("Smith/A_1.jpg", fGood);
    EXPECT_EQ(chosenWithin(3), "Smith/A_1.jpg");
}

// A photo that waits only for its movie, remembered whole and with its block:
// if it is rewritten after the pass read its notes, the movie's arrival must
// not send the half-written photo on what was remembered of the old one.
TEST(ScanChangeWatchReadiness, APhotoChangedAfterTheNotesWereReadIsNotSentOnItsOldVerdict)
{
    TestSupport::TempDir dir;
    if (!ScanChangeWatch::isLocalFileSystem(dir.path()))
        GTEST_SKIP() << "the temporary folder is not on a local file system";
    const std::string folder = dir.file("Smith");
    fs::create_directories(folder);
    const std::string photo = folder + "/A_1.jpg";
    const std::string good = jpegBytes(simpleMeta());
    createFileWithContents(photo, good);

    const int64_t wallNs = ScanVerdictCache::systemNowNs() + std::chrono::nanoseconds(std::chrono::hours(1)).count();
    ScanVerdictCache cache([wallNs] { return wallNs; });
    auto steady = SettleTracker::Clock::now();
    SettleTracker tracker([&steady] { return steady; });
    ReadinessCheck::Settings settings;
    settings.uploadMovie = true;
    ReadinessCheck check(tracker, settings, &cache);
    const auto pass = [&] {
        tracker.beginPass();
        cache.beginPass();
        struct stat status { };
        EXPECT_EQ(::stat(folder.c_str(), &status), 0);
        cache.beginFolder(folder, status);
    };
    for (int i = 0; i < 3; ++i) {
        pass();
        EXPECT_EQ(check.check("Smith/A_1.jpg", photo, false).reason, "waiting for its movie");
    }
    ASSERT_GT(cache.hitsWithoutStat(), 0u);

    // The movie arrives and settles; the photo is being written again, its
    // block already in place but its end not yet.
    createFileWithContents(folder + "/A_1.mov", "movie");
    pass();
    EXPECT_EQ(check.check("Smith/A_1.jpg", photo, false).kind, ReadinessCheck::Kind::Waiting);
    steady += std::chrono::seconds(3);
    pass();
    createFileWithContents(photo, good.substr(0, good.size() - 2));
    const ReadinessCheck::Verdict verdict = check.check("Smith/A_1.jpg", photo, false);
    EXPECT_EQ(verdict.kind, ReadinessCheck::Kind::Waiting);
    EXPECT_EQ(verdict.reason, "still being written");
}

// Without the kernel's notes (no inotify, the watch limit reached, a share)
// every pass stats each file: a photo that becomes ready is still seen.
TEST(ScanChangeWatchReadiness, WithoutNotesEveryPassStatsEachFile)
{
    TestSupport::TempDir dir;
    const std::string folder = dir.file("Smith");
    fs::create_directories(folder);
    const std::string photo = folder + "/A_1.jpg";
    const std::string good = jpegBytes(simpleMeta());
    createFileWithContents(photo, spoiled(good));
    const int64_t wallNs = ScanVerdictCache::systemNowNs() + std::chrono::nanoseconds(std::chrono::hours(1)).count();
    ScanVerdictCache cache([wallNs] { return wallNs; }, false);
    SettleTracker tracker;
    ReadinessCheck check(tracker, ReadinessCheck::Settings{}, &cache);
    for (int i = 0; i < 3; ++i) {
        tracker.beginPass();
        cache.beginPass();
        struct stat status { };
        ASSERT_EQ(::stat(folder.c_str(), &status), 0);
        EXPECT_EQ(cache.beginFolder(folder, status), nullptr) << "an unwatched folder is listed on every pass";
        EXPECT_EQ(check.check("Smith/A_1.jpg", photo, false).kind, ReadinessCheck::Kind::Waiting);
    }
    EXPECT_EQ(cache.hitsWithoutStat(), 0u);
    EXPECT_GT(cache.hits(), 0u);
    // Rewritten in place, same size, its modification time put back.
    struct stat before { };
    ASSERT_EQ(::stat(photo.c_str(), &before), 0);
    const int fd = ::open(photo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, good.data(), good.size(), 0), static_cast<ssize_t>(good.size()));
    ::close(fd);
    setTimes(photo, before);
    cache.beginPass();
    EXPECT_EQ(check.check("Smith/A_1.jpg", photo, false).kind, ReadinessCheck::Kind::Ready);
}

// A read made in the same clock tick as the file's last change is kept only
// on the strength of the notes: when they cannot vouch for it (the full check
// looks for changes that leave no note; an overflow lost some), the file must
// be read again, since its stat would look the same after a second write in
// that tick.
TEST(ScanChangeWatchReadiness, AReadInTheRacyWindowIsRedoneAtTheFullCheckAndAfterAnOverflow)
{
    TestSupport::TempDir dir;
    if (!ScanChangeWatch::isLocalFileSystem(dir.path()))
        GTEST_SKIP() << "the temporary folder is not on a local file system";
    const std::string folder = dir.file("Smith");
    fs::create_directories(folder);
    const std::string photo = folder + "/A_1.jpg";
    createFileWithContents(photo, "x");
    int64_t wallNs = ScanVerdictCache::systemNowNs();
    ScanVerdictCache cache([&wallNs] { return wallNs; });
    // Changed and read within the same tick.
    SettleTracker::Identity identity{1, 2, 3, wallNs, wallNs};
    const auto pass = [&] {
        cache.beginPass();
        struct stat status { };
        EXPECT_EQ(::stat(folder.c_str(), &status), 0);
        cache.beginFolder(folder, status);
    };
    pass();
    cache.store(photo, identity, ScanVerdictCache::Facts{}, wallNs);
    pass();
    EXPECT_TRUE(cache.find(photo, identity)) << "kept while the notes vouch for it";
    wallNs += std::chrono::nanoseconds(ScanVerdictCache::kFullCheckEvery).count();
    pass();
    EXPECT_FALSE(cache.find(photo, identity)) << "the full check reads it again";

    long limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    if (limit > 200000)
        GTEST_SKIP() << "the kernel's queue is too long to overflow here";
    cache.store(photo, identity, ScanVerdictCache::Facts{}, wallNs);
    pass();
    ASSERT_TRUE(cache.find(photo, identity));
    const std::string other = folder + "/B_1.jpg";
    createFileWithContents(other, "y");
    for (long i = 0; i <= limit; ++i) {
        ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), nullptr, 0), 0);
        ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), nullptr, 0), 0);
    }
    pass();
    EXPECT_FALSE(cache.find(photo, identity)) << "the notes overflowed: read again";
}
