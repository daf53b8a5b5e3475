#include "filing/ZVI_FileManager.h"

#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
namespace fs = std::filesystem;
using WhenTaken = ZVI_FileManager::WhenTaken;

class FileMoverTest : public SandboxedTest {
protected:
    std::string src() const { return fSandbox.file("Source"); }
    std::string dst() const { return fSandbox.file("Mirror"); }
    std::string srcFile(const std::string& rel) const { return src() + "/" + rel; }
    std::string dstFile(const std::string& rel) const { return dst() + "/" + rel; }
};

TEST_F(FileMoverTest, MovesKeepTheRelativePathAndCreateMissingFolders)
{
    createFileWithContents(srcFile("Smith/Deeper/IMG_1.jpg"), "photo");
    // Neither the destination root nor its client folders exist yet.
    auto arrived = ZVI_FileManager::moveItem("Smith/Deeper/IMG_1.jpg", src(), dst(), WhenTaken::KeepExisting, false);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(*arrived, dstFile("Smith/Deeper/IMG_1.jpg"));
    EXPECT_EQ(readWholeFile(dstFile("Smith/Deeper/IMG_1.jpg")), "photo");
    EXPECT_FALSE(fs::exists(srcFile("Smith/Deeper/IMG_1.jpg")));

    // A missing source is no move and no error.
    EXPECT_FALSE(ZVI_FileManager::moveItem("Smith/nothing.jpg", src(), dst(), WhenTaken::Overwrite, false));

    // A folder item is created at the destination and stays at the source.
    fs::create_directories(srcFile("Jones"));
    EXPECT_TRUE(ZVI_FileManager::moveItem("Jones", src(), dst(), WhenTaken::Overwrite, false));
    EXPECT_TRUE(fs::is_directory(dstFile("Jones")));
    EXPECT_TRUE(fs::is_directory(srcFile("Jones")));
}

TEST_F(FileMoverTest, ATakenNameIsReplacedKeptOrJoined)
{
    createFileWithContents(dstFile("Smith/IMG_1.jpg"), "old");
    createFileWithContents(srcFile("Smith/IMG_1.jpg"), "new");

    EXPECT_FALSE(ZVI_FileManager::moveItem("Smith/IMG_1.jpg", src(), dst(), WhenTaken::KeepExisting, false));
    EXPECT_EQ(readWholeFile(dstFile("Smith/IMG_1.jpg")), "old");
    EXPECT_EQ(readWholeFile(srcFile("Smith/IMG_1.jpg")), "new");

    auto both = ZVI_FileManager::moveItem("Smith/IMG_1.jpg", src(), dst(), WhenTaken::KeepBoth, false);
    ASSERT_TRUE(both);
    EXPECT_TRUE(std::regex_match(*both, std::regex(".*/Smith/IMG_1 \\d{8}_\\d{6}\\.jpg"))) << *both;
    EXPECT_EQ(readWholeFile(*both), "new");
    EXPECT_EQ(readWholeFile(dstFile("Smith/IMG_1.jpg")), "old");

    // A third arrival within the same second still finds a free name.
    createFileWithContents(srcFile("Smith/IMG_1.jpg"), "third");
    auto third = ZVI_FileManager::moveItem("Smith/IMG_1.jpg", src(), dst(), WhenTaken::KeepBoth, false);
    ASSERT_TRUE(third);
    EXPECT_NE(*third, *both);
    EXPECT_EQ(fs::path(*third).extension(), ".jpg") << *third;
    EXPECT_EQ(readWholeFile(*third), "third");

    createFileWithContents(srcFile("Smith/IMG_1.jpg"), "newest");
    ZVI_FileManager::moveFileToPath("Smith/IMG_1.jpg", src(), dst(), true, false);
    EXPECT_EQ(readWholeFile(dstFile("Smith/IMG_1.jpg")), "newest");
    EXPECT_FALSE(fs::exists(srcFile("Smith/IMG_1.jpg")));
}

TEST_F(FileMoverTest, EncapsulationUsesTheBaseName)
{
    createFileWithContents(srcFile("Smith/Smith_001.jpg"), "a");
    createFileWithContents(srcFile("Smith/IMG0042.jpg"), "b");
    ZVI_FileManager::moveFileToPath("Smith/Smith_001.jpg", src(), dst(), true, true);
    ZVI_FileManager::moveFileToPath("Smith/IMG0042.jpg", src(), dst(), true, true);
    EXPECT_TRUE(fs::exists(dstFile("Smith/Smith/Smith_001.jpg")));
    EXPECT_TRUE(fs::exists(dstFile("Smith/IMG0042.jpg")));

    EXPECT_EQ(getBaseName1("/a/Smith_001.jpg"), "Smith");
    EXPECT_FALSE(getBaseName1("/a/IMG0042.jpg"));
    EXPECT_FALSE(getBaseName1("/a/_001.jpg"));
}

TEST_F(FileMoverTest, AMoveToAnotherFileSystemCopiesThenRemoves)
{
    struct statfs a {
    }, b{};
    if (::statfs(fSandbox.path().c_str(), &a) != 0 || ::statfs("/dev/shm", &b) != 0 || a.f_type == b.f_type)
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    TestSupport::TempDir other;
    std::string otherRoot = "/dev/shm/quon-mover-" + std::to_string(::getpid());
    fs::create_directories(otherRoot);

    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31);
    createFileWithContents(srcFile("Smith/IMG_2.jpg"), big);
    ::chmod(srcFile("Smith/IMG_2.jpg").c_str(), 0640);
    auto arrived = ZVI_FileManager::moveItem("Smith/IMG_2.jpg", src(), otherRoot, WhenTaken::KeepExisting, false);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(readWholeFile(*arrived), big);
    EXPECT_FALSE(fs::exists(srcFile("Smith/IMG_2.jpg")));
    EXPECT_EQ(fs::status(*arrived).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // No temporary file is left beside it.
    int entries = 0;
    for (const auto& e : fs::directory_iterator(otherRoot + "/Smith")) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);

    // A taken name across file systems: nothing moves, nothing is left behind.
    createFileWithContents(srcFile("Smith/IMG_2.jpg"), "second");
    EXPECT_FALSE(ZVI_FileManager::moveItem("Smith/IMG_2.jpg", src(), otherRoot, WhenTaken::KeepExisting, false));
    EXPECT_EQ(readWholeFile(srcFile("Smith/IMG_2.jpg")), "second");
    EXPECT_EQ(readWholeFile(*arrived), big);
    entries = 0;
    for (const auto& e : fs::directory_iterator(otherRoot + "/Smith")) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    fs::remove_all(otherRoot);
}

TEST_F(FileMoverTest, TrashKeepsARecordAndNeverOverwrites)
{
    const std::string dataHome = fSandbox.file("data");
    const char* previous = std::getenv("XDG_DATA_HOME");
    const std::string saved = previous ? previous : "";
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    createFileWithContents(fSandbox.file("logs/Quon_2011_01_01.log"), "one");
    moveFileToUserTrash(fSandbox.file("logs/Quon_2011_01_01.log"));
    createFileWithContents(fSandbox.file("logs/Quon_2011_01_01.log"), "two");
    moveFileToUserTrash(fSandbox.file("logs/Quon_2011_01_01.log"));
    if (previous)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");

    EXPECT_FALSE(fs::exists(fSandbox.file("logs/Quon_2011_01_01.log")));
    EXPECT_EQ(readWholeFile(dataHome + "/Trash/files/Quon_2011_01_01.log"), "one");
    const std::string info = readWholeFile(dataHome + "/Trash/info/Quon_2011_01_01.log.trashinfo");
    EXPECT_NE(info.find("Path=" + fSandbox.file("logs/Quon_2011_01_01.log")), std::string::npos);
    EXPECT_NE(info.find("DeletionDate="), std::string::npos);
    int copies = 0;
    for (const auto& e : fs::directory_iterator(dataHome + "/Trash/files")) {
        const std::string name = e.path().filename().string();
        if (std::regex_match(name, std::regex("Quon_2011_01_01\\.log \\d{8}_\\d{6}"))) {
            EXPECT_EQ(readWholeFile(e.path().string()), "two");
            ++copies;
        }
    }
    EXPECT_EQ(copies, 1);
}

// A link is never what it points to: not a folder to recreate, not a photo
// to copy. The movers leave it where it is and touch nothing behind it.
TEST_F(FileMoverTest, LinksAreNeverFollowed)
{
    createFileWithContents(fSandbox.file("Elsewhere/Smith/IMG_1.jpg"), "not ours");
    fs::create_directories(srcFile("Smith"));
    fs::create_directory_symlink(fSandbox.file("Elsewhere/Smith"), srcFile("Linked"));
    fs::create_symlink(fSandbox.file("Elsewhere/Smith/IMG_1.jpg"), srcFile("Smith/IMG_1.jpg"));
    for (const auto whenTaken : {WhenTaken::Overwrite, WhenTaken::KeepBoth}) {
        EXPECT_FALSE(ZVI_FileManager::moveItem("Linked", src(), dst(), whenTaken, false));
        EXPECT_FALSE(ZVI_FileManager::moveItem("Smith/IMG_1.jpg", src(), dst(), whenTaken, false));
    }
    EXPECT_FALSE(fs::exists(dstFile("Linked"))) << "no folder made for a linked one";
    EXPECT_FALSE(fs::exists(dstFile("Smith/IMG_1.jpg")));
    EXPECT_TRUE(fs::is_symlink(srcFile("Linked")));
    EXPECT_TRUE(fs::is_symlink(srcFile("Smith/IMG_1.jpg")));
    EXPECT_EQ(readWholeFile(fSandbox.file("Elsewhere/Smith/IMG_1.jpg")), "not ours");

    // A link in the destination is replaced as a name, never written through.
    createFileWithContents(srcFile("Smith/IMG_2.jpg"), "photo");
    fs::create_directories(dstFile("Smith"));
    fs::create_directory_symlink(fSandbox.file("Elsewhere/Smith"), dstFile("Smith/IMG_2.jpg"));
    ASSERT_TRUE(ZVI_FileManager::moveItem("Smith/IMG_2.jpg", src(), dst(), WhenTaken::Overwrite, false));
    EXPECT_EQ(readWholeFile(dstFile("Smith/IMG_2.jpg")), "photo");
    EXPECT_EQ(readWholeFile(fSandbox.file("Elsewhere/Smith/IMG_1.jpg")), "not ours")
        << "the linked folder is untouched";
}
