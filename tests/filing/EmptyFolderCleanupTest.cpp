#include "TestSupport.h"
#include "filing/FolderWalk.h"
#include "filing/ZVI_FileManager.h"
#include "housekeeping/RecordingMaintenance.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono;
using TestSupport::createFileWithContents;

namespace {

void dateFolder(const std::string& path, system_clock::time_point when)
{
    const auto since = duration_cast<seconds>(when.time_since_epoch()).count();
    const timespec times[2] = {{since, 0}, {since, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

} // namespace

class EmptyFolderCleanup : public StoreSandboxTest {
protected:
    std::string root() const { return fSandbox.file("root"); }
    std::string under(const std::string& relative) const { return root() + "/" + relative; }
    void makeFolders(std::initializer_list<const char*> relatives)
    {
        fs::create_directories(root());
        for (const char* relative : relatives)
            fs::create_directories(under(relative));
    }
};

TEST_F(EmptyFolderCleanup, TheRootStaysAndDSStoreOnlyFoldersGoWithTheirFile)
{
    makeFolders({"empty", "dsstore", "kept"});
    createFileWithContents(under("dsstore/.DS_Store"), "finder");
    createFileWithContents(under("kept/.hidden"), "x");
    TestSupport::LogCapture log;
    ZVI_FileManager::deleteFolderIfEmpty(root(), false);
    EXPECT_TRUE(fs::is_directory(root()));
    EXPECT_FALSE(fs::exists(under("empty")));
    EXPECT_FALSE(fs::exists(under("dsstore")));
    EXPECT_TRUE(fs::exists(under("kept/.hidden")));
    EXPECT_TRUE(log.contains("Passed SourcePath: [" + root() + "]"));

    // An empty root is still never deleted.
    ZVI_FileManager::deleteFolderIfEmpty(root(), false);
    ZVI_FileManager::deleteFolderIfEmpty(root() + "/", false, system_clock::now() + hours(1), nullptr);
    EXPECT_TRUE(fs::is_directory(root()));
    EXPECT_TRUE(isDirectoryEmpty(under("kept")) == false);
    fs::remove(under("kept/.hidden"));
    createFileWithContents(under("kept/.DS_Store"), "");
    EXPECT_TRUE(isDirectoryEmpty(under("kept")));
    EXPECT_FALSE(isDirectoryEmpty(under("no such folder")));
}

TEST_F(EmptyFolderCleanup, NestedEmptyFoldersGoOneLevelPerPass)
{
    makeFolders({"X/Y/Z"});
    ZVI_FileManager::deleteFolderIfEmpty(root(), false);
    EXPECT_TRUE(fs::exists(under("X/Y")));
    EXPECT_FALSE(fs::exists(under("X/Y/Z")));
    ZVI_FileManager::deleteFolderIfEmpty(root(), false);
    EXPECT_TRUE(fs::exists(under("X")));
    EXPECT_FALSE(fs::exists(under("X/Y")));
    ZVI_FileManager::deleteFolderIfEmpty(root(), false);
    EXPECT_FALSE(fs::exists(under("X")));
    EXPECT_TRUE(fs::is_directory(root()));
}

TEST_F(EmptyFolderCleanup, KeepChildrenLeavesTheFoldersDirectlyInTheRootAndIgnoresTheDate)
{
    makeFolders({"client/young", "client/old", "lonely"});
    dateFolder(under("client/old"), system_clock::now() - hours(24 * 10));
    RecordingMaintenance progress;
    auto window = progress.openMaintenanceWindow();
    TestSupport::LogCapture log;
    ZVI_FileManager::deleteFolderIfEmpty(root(), true, system_clock::now() - hours(48), window.get());
    EXPECT_TRUE(fs::exists(under("lonely")));
    EXPECT_TRUE(fs::exists(under("client")));
    EXPECT_FALSE(fs::exists(under("client/young")));
    EXPECT_FALSE(fs::exists(under("client/old")));
    EXPECT_TRUE(log.contains("CANNOT DELETE same Root Path of [" + root() + "]"));
    EXPECT_TRUE(progress.saw("line2: client/old"));
    EXPECT_TRUE(progress.saw("line2: client/young"));
}

TEST_F(EmptyFolderCleanup, WithACutOffOnlyOlderFoldersGo)
{
    makeFolders({"old", "young", "copied"});
    dateFolder(under("old"), system_clock::now() - hours(24 * 5));
    // A folder born now but dated in the future is as young as its birth.
    dateFolder(under("copied"), system_clock::now() + hours(24 * 5));
    ZVI_FileManager::deleteOLDFolderIfEmpty(root(), false, 3);
    EXPECT_FALSE(fs::exists(under("old")));
    EXPECT_TRUE(fs::exists(under("young")));
    EXPECT_TRUE(fs::exists(under("copied")));
}

TEST_F(EmptyFolderCleanup, LinksAreNeitherWalkedIntoNorDeletedThrough)
{
    const std::string outside = fSandbox.file("outside");
    fs::create_directories(outside + "/empty inside");
    fs::create_directories(outside + "/deep/deeper");
    dateFolder(outside + "/empty inside", system_clock::now() - hours(24 * 400));
    makeFolders({"real"});
    fs::create_directory_symlink(outside, under("link to outside"));
    fs::create_directory_symlink(outside + "/empty inside", under("real/link to empty"));
    for (int pass = 0; pass < 3; ++pass)
        ZVI_FileManager::deleteFolderIfEmpty(root(), false);
    ZVI_FileManager::deleteOLDFolderIfEmpty(root(), false, 1);
    EXPECT_TRUE(fs::is_directory(outside + "/empty inside"));
    EXPECT_TRUE(fs::is_directory(outside + "/deep/deeper"));
    EXPECT_TRUE(fs::is_symlink(under("link to outside")));
    EXPECT_TRUE(fs::is_symlink(under("real/link to empty")));
    EXPECT_TRUE(fs::is_directory(under("real"))); // holds a link, so not empty
}

TEST_F(EmptyFolderCleanup, UnsafeFolderSettingsDeleteNothing)
{
    makeFolders({"a/b"});
    const std::string cwd = fs::current_path();
    fs::current_path(root());
    TestSupport::LogCapture log;
    for (const char* setting : {"", "a", "./a", "a/"})
        ZVI_FileManager::deleteFolderIfEmpty(setting, false);
    fs::current_path(cwd);
    EXPECT_TRUE(fs::exists(under("a/b")));
    EXPECT_TRUE(log.contains("deleting nothing in []: no folder is set"));
    EXPECT_TRUE(log.contains("deleting nothing in [a]: the folder setting is not an absolute path"));

    ZVI_FileManager::deleteFolderIfEmpty(fSandbox.file("missing"), false);
    EXPECT_TRUE(log.contains("passed Invalid SourcePath: [" + fSandbox.file("missing") + "]"));
    createFileWithContents(fSandbox.file("plain"), "x");
    ZVI_FileManager::deleteFolderIfEmpty(fSandbox.file("plain"), false);
    EXPECT_TRUE(log.contains("sourcePath is NOT a Directory: [" + fSandbox.file("plain") + "]"));

    // "/" and anything that resolves to it are refused before any walk. The
    // pass runs with a cut-off in 1900, so even a broken guard could not
    // delete a folder of this machine.
    const auto antique = system_clock::from_time_t(-2208988800);
    fs::create_directory_symlink("/", fSandbox.file("link to slash"));
    for (const std::string& setting :
         {std::string("/"), std::string("//"), fSandbox.file("link to slash"), fSandbox.file("link to slash/")}) {
        log.clear();
        ZVI_FileManager::deleteFolderIfEmpty(setting, false, antique, nullptr);
        EXPECT_TRUE(log.contains("the folder is the root of the file system")) << setting;
        std::string canonical;
        EXPECT_EQ(FolderWalk::checkDeletionRoot(setting, canonical), FolderWalk::RootProblem::FileSystemRoot);
        EXPECT_TRUE(canonical.empty());
    }
}

TEST_F(EmptyFolderCleanup, AFolderFilledWhileTheWalkRunsStays)
{
    makeFolders({"arriving", "gone"});
    FolderWalk::walk(root(), true, [&](const FolderWalk::Entry& entry) {
        if (entry.name == "arriving") {
            EXPECT_TRUE(FolderWalk::isEmptyFolder(entry));
            createFileWithContents(entry.fullPath + "/photo.jpg", "jpeg");
            int error = 0;
            EXPECT_FALSE(FolderWalk::removeEmptyFolder(entry, &error));
            EXPECT_EQ(error, ENOTEMPTY);
        }
        return FolderWalk::Step::Continue;
    });
    EXPECT_TRUE(fs::exists(under("arriving/photo.jpg")));

    // A folder removed by someone else between the listing and the visit.
    TestSupport::LogCapture log;
    bool sawVanished = false;
    FolderWalk::walk(root(), true, [&](const FolderWalk::Entry& entry) {
        if (entry.name == "arriving")
            fs::remove(under("gone"));
        if (entry.name == "gone")
            sawVanished = !entry.exists;
        return FolderWalk::Step::Continue;
    });
    EXPECT_TRUE(sawVanished);
}

TEST_F(EmptyFolderCleanup, TheOperatorsRequestKeepsTheClientFoldersAndShowsOneWindow)
{
    const std::string source = root();
    makeFolders({"client/session/empty", "client/done", "newclient"});
    UserDefaults::standard().setString("prefLocalSourceUploadFolder", source);
    RecordingMaintenance progress;
    ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty(progress);
    EXPECT_EQ(progress.opened(), 1);
    const auto calls = progress.calls();
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls[1], "title: Deleting Empty Folders in the Source Upload Folder:");
    EXPECT_EQ(calls[2], "line1: Deleting Empty Folders in the Source Upload Folder:");
    EXPECT_EQ(calls[3], "line2: ");
    EXPECT_EQ(calls[4], "bar: YES");
    EXPECT_EQ(calls.back(), "close");
    EXPECT_TRUE(fs::exists(under("newclient")));
    EXPECT_TRUE(fs::exists(under("client/session")));
    EXPECT_FALSE(fs::exists(under("client/session/empty")));
    EXPECT_FALSE(fs::exists(under("client/done")));

    // An operator who declines leaves everything; one who agrees goes ahead.
    TestSupport::LogCapture log;
    std::string asked;
    ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty(progress, [&](const char* key) {
        asked = key;
        return 0;
    });
    EXPECT_EQ(asked, "NSAlertWindow_9007");
    EXPECT_TRUE(log.contains("REturning"));
    EXPECT_TRUE(fs::exists(under("client/session")));
    EXPECT_EQ(progress.opened(), 1);
    ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty(progress, [](const char*) { return 1; });
    EXPECT_FALSE(fs::exists(under("client/session")));
    EXPECT_TRUE(fs::exists(under("client")));

    // No source folder: nothing is opened.
    UserDefaults::standard().setString("prefLocalSourceUploadFolder", fSandbox.file("missing"));
    ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty(progress);
    EXPECT_EQ(progress.opened(), 2);
}
