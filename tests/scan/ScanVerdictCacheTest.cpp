#include "scan/ScanVerdictCache.h"

#include "PhotoFixtures.h"
#include "TestSupport.h"
#include "scan/ReadinessCheck.h"
#include "scan/SettleTracker.h"

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace PhotoFixtures;
using Kind = ReadinessCheck::Kind;

namespace {

// A photo whose image data has not arrived in full: its block, then no end marker.
std::string cutShort(const std::string& photo) { return photo.substr(0, photo.size() - 2); }

// A block without movies of its own.
PlistValue simpleMeta()
{
    return PlistValue::dictionary({{"OriginalPath", PlistValue::string("/Volumes/Station/IMG_1.JPG")}});
}

void appendTo(const std::string& path, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

class ScanVerdictCacheTest : public ::testing::Test {
protected:
    // The files are written just now; the cache's wall clock is put well past
    // them, as on a later pass over files that have waited a while.
    ScanVerdictCacheTest() : fTracker([this] { return fNow; })
    {
        fCache.setClock([this] { return ScanVerdictCache::systemNowNs() + fWallAhead.count(); });
        fFolder = fDir.file("Smith");
        std::filesystem::create_directories(fFolder);
    }

    ReadinessCheck::Verdict check(const std::string& name, ReadinessCheck::Settings settings = {})
    {
        fTracker.beginPass();
        fCache.beginPass();
        ReadinessCheck readiness(fTracker, settings, &fCache);
        return readiness.check("Smith/" + name, fFolder + "/" + name, false);
    }

    std::string writeJpeg(const std::string& name, const std::string& bytes)
    {
        const std::string path = fFolder + "/" + name;
        TestSupport::createFileWithContents(path, bytes);
        return path;
    }

    std::string jpegBytes(std::optional<PlistValue> meta)
    {
        const std::string path = writePhoto(fDir, "recipe.jpg", jpegWith(std::move(meta)));
        return TestSupport::readWholeFile(path);
    }

    TestSupport::TempDir fDir;
    std::string fFolder;
    SettleTracker::Clock::time_point fNow{std::chrono::hours(1)};
    std::chrono::nanoseconds fWallAhead = 10s;
    SettleTracker fTracker;
    ScanVerdictCache fCache;
};

} // namespace

TEST_F(ScanVerdictCacheTest, AnUnchangedWaitingPhotoIsNotReadAgain)
{
    writeJpeg("IMG_1.jpg", PhotoWriter::plainJpeg());
    LogLines log;
    const auto first = check("IMG_1.jpg");
    EXPECT_EQ(first.kind, Kind::Waiting);
    EXPECT_EQ(first.reason, "no embedded metadata");
    const size_t readLines = log.lines().size();
    EXPECT_GT(readLines, 0u) << "the first look reads the photo's metadata";
    EXPECT_EQ(fCache.size(), 1u);

    log.clear();
    const auto second = check("IMG_1.jpg");
    EXPECT_EQ(second.kind, Kind::Waiting);
    EXPECT_EQ(second.reason, "no embedded metadata");
    EXPECT_EQ(fCache.hits(), 1u);
    EXPECT_TRUE(log.lines().empty()) << "no metadata read, so none of its log lines";
}

TEST_F(ScanVerdictCacheTest, AChangedPhotoIsReadAgain)
{
    const std::string path = writeJpeg("IMG_1.jpg", PhotoWriter::plainJpeg());
    EXPECT_EQ(check("IMG_1.jpg").reason, "no embedded metadata");
    // The station rewrites it with its block: size and times move.
    TestSupport::createFileWithContents(path, jpegBytes(simpleMeta()));
    const auto verdict = check("IMG_1.jpg");
    EXPECT_EQ(verdict.kind, Kind::Ready) << verdict.reason;
    EXPECT_EQ(fCache.hits(), 0u);
    EXPECT_EQ(fCache.size(), 0u) << "a photo that is ready is not kept";
}

TEST_F(ScanVerdictCacheTest, AFileChangedJustBeforeItsReadIsReadAgainUntilItsTimesCanBeTrusted)
{
    // Within the file system's clock tick a later write could leave the times
    // as they were, so such a read is not kept.
    fWallAhead = 0s;
    writeJpeg("IMG_1.jpg", PhotoWriter::plainJpeg());
    EXPECT_EQ(check("IMG_1.jpg").reason, "no embedded metadata");
    EXPECT_EQ(fCache.size(), 0u);
    LogLines log;
    EXPECT_EQ(check("IMG_1.jpg").reason, "no embedded metadata");
    EXPECT_GT(log.lines().size(), 0u) << "read again";
    EXPECT_EQ(fCache.hits(), 0u);

    // Later the same file, unchanged, is read once more and then kept.
    fWallAhead = 10s;
    check("IMG_1.jpg");
    EXPECT_EQ(fCache.size(), 1u);
    log.clear();
    check("IMG_1.jpg");
    EXPECT_EQ(fCache.hits(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ScanVerdictCacheTest, AStillWrittenVerdictTurnsReadyWhenItsTimeHasPassed)
{
    // Some cameras append data after the image: such a JPEG is ready once
    // unchanged for 30 s, which the remembered facts must not hide.
    writeJpeg("IMG_1.jpg", cutShort(jpegBytes(simpleMeta())));
    EXPECT_EQ(check("IMG_1.jpg").reason, "still being written");
    fNow += 10s;
    EXPECT_EQ(check("IMG_1.jpg").reason, "still being written");
    EXPECT_EQ(fCache.hits(), 1u);
    fNow += ReadinessCheck::kUnfinishedPhotoSettle;
    const auto verdict = check("IMG_1.jpg");
    EXPECT_EQ(verdict.kind, Kind::Ready) << verdict.reason;
    EXPECT_EQ(fCache.hits(), 2u) << "ready from the remembered facts, without a read";
}

TEST_F(ScanVerdictCacheTest, APhotoWaitingForItsMovieTurnsReadyWhenTheMovieHasSettled)
{
    ReadinessCheck::Settings settings;
    settings.uploadMovie = true;
    writeJpeg("IMG_1.jpg", jpegBytes(simpleMeta()));
    EXPECT_EQ(check("IMG_1.jpg", settings).reason, "waiting for its movie");
    EXPECT_EQ(check("IMG_1.jpg", settings).reason, "waiting for its movie");
    EXPECT_EQ(fCache.hits(), 1u);

    TestSupport::createFileWithContents(fFolder + "/IMG_1.mov", "moov");
    EXPECT_EQ(check("IMG_1.jpg", settings).reason, "its movie is still being written");
    fNow += ReadinessCheck::kMovieSettle;
    const auto verdict = check("IMG_1.jpg", settings);
    EXPECT_EQ(verdict.kind, Kind::Ready) << verdict.reason;
}

TEST_F(ScanVerdictCacheTest, APhotoWaitingForItsMuxedMovieSeesItArrive)
{
    writeJpeg("IMG_1.jpg", jpegBytes(sampleMetaData()));
    EXPECT_EQ(check("IMG_1.jpg").reason, "waiting for its muxed movie");
    EXPECT_EQ(check("IMG_1.jpg").reason, "waiting for its muxed movie");
    EXPECT_EQ(fCache.hits(), 1u);
    TestSupport::createFileWithContents(fFolder + "/IMG_0042.mov", "muxed");
    EXPECT_EQ(check("IMG_1.jpg").reason, "its muxed movie is still being written");
    fNow += ReadinessCheck::kMovieSettle;
    EXPECT_EQ(check("IMG_1.jpg").kind, Kind::Ready);
    EXPECT_EQ(fCache.hits(), 3u) << "the photo itself was read once";
}

TEST_F(ScanVerdictCacheTest, AGrowingPhotoIsNeverJudgedByItsOldBytes)
{
    const std::string whole = jpegBytes(std::nullopt);
    const std::string path = writeJpeg("IMG_1.jpg", whole.substr(0, whole.size() / 2));
    EXPECT_EQ(check("IMG_1.jpg").kind, Kind::Waiting);
    appendTo(path, whole.substr(whole.size() / 2));
    // Now whole but still without a block: read again, and judged on that.
    EXPECT_EQ(check("IMG_1.jpg").reason, "no embedded metadata");
    EXPECT_EQ(fCache.hits(), 0u);
}

TEST_F(ScanVerdictCacheTest, ACompletePassForgetsFilesThatAreGone)
{
    writeJpeg("IMG_1.jpg", PhotoWriter::plainJpeg());
    writeJpeg("IMG_2.jpg", PhotoWriter::plainJpeg());
    check("IMG_1.jpg");
    check("IMG_2.jpg");
    EXPECT_EQ(fCache.size(), 2u);
    ::unlink((fFolder + "/IMG_2.jpg").c_str());
    fCache.beginPass();
    ReadinessCheck readiness(fTracker, {}, &fCache);
    readiness.check("Smith/IMG_1.jpg", fFolder + "/IMG_1.jpg", false);
    fCache.endCompletePass();
    EXPECT_EQ(fCache.size(), 1u);
}

TEST_F(ScanVerdictCacheTest, AFileReplacedUnderTheSameNameIsReadAgain)
{
    // Same size, a new file: another inode.
    const std::string path = writeJpeg("IMG_1.jpg", PhotoWriter::plainJpeg());
    EXPECT_EQ(check("IMG_1.jpg").reason, "no embedded metadata");
    const std::string other = fFolder + "/other";
    TestSupport::createFileWithContents(other, PhotoWriter::plainJpeg());
    ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
    check("IMG_1.jpg");
    EXPECT_EQ(fCache.hits(), 0u);
}
