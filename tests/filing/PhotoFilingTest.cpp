// Filing a photo with its movie, on real folders.

#include "filing/PhotoFiling.h"

#include "TestSupport.h"

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using Destination = PhotoRetryPauses::Destination;
namespace fs = std::filesystem;

namespace {

// A local time as the stamp writes it, and set as a file's modification time.
std::time_t localTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

void setModified(const std::string& path, std::time_t when)
{
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The names in a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class PhotoFilingTest : public SandboxedTest {
protected:
    std::string source(const std::string& relative = "") const { return fSandbox.file("Source/" + relative); }
    std::string mirror(const std::string& relative = "") const { return fSandbox.file("Mirror/" + relative); }
    std::string problem(const std::string& relative = "") const { return fSandbox.file("Problem Folder/" + relative); }
    PhotoFiling::Outcome file(const std::string& item, Destination destination)
    {
        return PhotoFiling::filePhotoAndMovie(
            fSandbox.file("Source"), item,
            destination == Destination::ProblemFolder ? fSandbox.file("Problem Folder") : fSandbox.file("Mirror"),
            destination);
    }
};

TEST_F(PhotoFilingTest, ADifferentPhotoInTheMirrorIsKeptUnderItsOwnTimeWithItsMovie)
{
    // Filed last year by a camera whose counter has since started again.
    const std::time_t lastYear = localTime(2025, 3, 4, 5, 6, 7);
    createFileWithContents(mirror("Adams/IMG_1.jpg"), "the older photo");
    createFileWithContents(mirror("Adams/IMG_1_muxed.mov"), "the older movie");
    setModified(mirror("Adams/IMG_1.jpg"), lastYear);
    createFileWithContents(source("Adams/IMG_1.jpg"), "the new photo");
    createFileWithContents(source("Adams/IMG_1.MOV"), "the new movie");

    const auto outcome = file("Adams/IMG_1.jpg", Destination::MirrorSiteFolder);
    EXPECT_TRUE(outcome.filed) << outcome.problem;
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1.jpg")), "the new photo");
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1.MOV")), "the new movie");
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1 20250304_050607.jpg")), "the older photo");
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1 20250304_050607_muxed.mov")), "the older movie");
    EXPECT_EQ(namesIn(mirror("Adams")).size(), 4u);
    EXPECT_TRUE(fs::is_empty(source("Adams")));

    // A third photo of that name, different again, filed in the same second as the second one.
    setModified(mirror("Adams/IMG_1.jpg"), lastYear);
    createFileWithContents(source("Adams/IMG_1.jpg"), "the third photo");
    EXPECT_TRUE(file("Adams/IMG_1.jpg", Destination::MirrorSiteFolder).filed);
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1.jpg")), "the third photo");
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1 20250304_050607-2.jpg")), "the new photo");
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1 20250304_050607-2.MOV")), "the new movie");
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1 20250304_050607.jpg")), "the older photo");
}

TEST_F(PhotoFilingTest, TheSamePhotoSentAgainReplacesItsCopyInTheMirror)
{
    createFileWithContents(mirror("Adams/IMG_1.jpg"), "one photo");
    createFileWithContents(mirror("Adams/IMG_1.mov"), "an older movie");
    createFileWithContents(source("Adams/IMG_1.jpg"), "one photo");
    createFileWithContents(source("Adams/IMG_1.mov"), "its movie");
    EXPECT_TRUE(file("Adams/IMG_1.jpg", Destination::MirrorSiteFolder).filed);
    EXPECT_EQ(namesIn(mirror("Adams")), (std::vector<std::string>{"IMG_1.jpg", "IMG_1.mov"}));
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1.mov")), "its movie");
}

TEST_F(PhotoFilingTest, InTheProblemFolderTheMovieTakesItsPhotosNewName)
{
    createFileWithContents(problem("Adams/IMG_1.jpg"), "refused yesterday");
    createFileWithContents(source("Adams/IMG_1.jpg"), "refused today");
    createFileWithContents(source("Adams/IMG_1.mov"), "today's movie");
    EXPECT_TRUE(file("Adams/IMG_1.jpg", Destination::ProblemFolder).filed);

    const auto names = namesIn(problem("Adams"));
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "IMG_1 " + names[0].substr(6, 15) + ".jpg");
    EXPECT_EQ(names[1], "IMG_1 " + names[0].substr(6, 15) + ".mov") << "the movie pairs with its own photo";
    EXPECT_EQ(names[2], "IMG_1.jpg");
    EXPECT_EQ(readWholeFile(problem("Adams/" + names[0])), "refused today");
    EXPECT_EQ(readWholeFile(problem("Adams/" + names[1])), "today's movie");
    EXPECT_EQ(readWholeFile(problem("Adams/IMG_1.jpg")), "refused yesterday");
}

TEST_F(PhotoFilingTest, APhotoThatCannotBeMovedKeepsItsMovieBesideIt)
{
    // A file where the client folder should be.
    createFileWithContents(mirror("Adams"), "not a folder");
    createFileWithContents(source("Adams/IMG_1.jpg"), "photo");
    createFileWithContents(source("Adams/IMG_1.mov"), "movie");
    const auto outcome = file("Adams/IMG_1.jpg", Destination::MirrorSiteFolder);
    EXPECT_FALSE(outcome.filed);
    EXPECT_NE(outcome.problem, "");
    EXPECT_EQ(readWholeFile(source("Adams/IMG_1.jpg")), "photo");
    EXPECT_EQ(readWholeFile(source("Adams/IMG_1.mov")), "movie");

    // Once the way is clear, a later try files both; a photo already gone is no obstacle.
    fs::remove(mirror("Adams"));
    fs::remove(source("Adams/IMG_1.jpg"));
    EXPECT_TRUE(file("Adams/IMG_1.jpg", Destination::MirrorSiteFolder).filed);
    EXPECT_EQ(readWholeFile(mirror("Adams/IMG_1.mov")), "movie");
}
