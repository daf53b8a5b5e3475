#include "util/LeftoverCleanup.h"
#include "TestSupport.h"
#include "util/StationLock.h"

#include <filesystem>
#include <unistd.h>
#include <utime.h>

using TestSupport::createFileWithContents;
namespace fs = std::filesystem;

namespace {

void makeOld(const std::string& path)
{
    const std::time_t when = std::time(nullptr) - 3600;
    const utimbuf times{when, when};
    ::utime(path.c_str(), &times);
}

} // namespace

TEST(LeftoverCleanup, OnlyNamesMadeByMkstempFromOurBaseAreOurs)
{
    EXPECT_TRUE(LeftoverCleanup::isTemporaryName("defaults.plist.a1B2c3", "defaults.plist."));
    EXPECT_TRUE(LeftoverCleanup::isTemporaryName(".quon-moving-QWERT1", ".quon-moving-"));
    EXPECT_TRUE(LeftoverCleanup::isTemporaryName(".quon-moving-abcdeF", ".quon-moving-"));
    for (const char* name : {"defaults.plist", "defaults.plist.backup", "defaults.plist.BACKUP",
                             "defaults.plist.202401", "defaults.plist.a1B2c", "defaults.plist.a1B2c3d",
                             "defaults.plist.a1-2c3", "defaults.plist.corrupt", "xdefaults.plist.a1B2c3"})
        EXPECT_FALSE(LeftoverCleanup::isTemporaryName(name, "defaults.plist.")) << name;
}

class LeftoverCleanupTest : public SandboxedTest { };

TEST_F(LeftoverCleanupTest, OldTemporariesGoThroughTheTreeButLinksAreNotFollowed)
{
    const std::string root = fSandbox.file("Mirror");
    const std::string outside = fSandbox.file("Elsewhere/.quon-moving-Ab3dEf");
    const std::vector<std::string> old = {root + "/.quon-moving-a1B2c3", root + "/Gala/Smith/.quon-moving-Zz9yY8"};
    for (const auto& path : old) {
        createFileWithContents(path, "x");
        makeOld(path);
    }
    createFileWithContents(outside, "x");
    makeOld(outside);
    fs::create_directory_symlink(fSandbox.file("Elsewhere"), root + "/link");
    createFileWithContents(root + "/Gala/.quon-moving-Young1", "still being written");
    createFileWithContents(root + "/Gala/IMG_1.jpg", "photo");
    makeOld(root + "/Gala/IMG_1.jpg");
    // A folder that only has the name of a temporary is left alone.
    fs::create_directories(root + "/.quon-moving-Dir123");

    EXPECT_EQ(LeftoverCleanup::removeInTree(root, ".quon-moving-", std::time(nullptr)), 2u);
    for (const auto& path : old)
        EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(root + "/Gala/.quon-moving-Young1"));
    EXPECT_TRUE(fs::exists(root + "/Gala/IMG_1.jpg"));
    EXPECT_TRUE(fs::is_directory(root + "/.quon-moving-Dir123"));
    // Only the folder itself, not below it.
    createFileWithContents(root + "/Gala/.quon-moving-Ab3dEf", "x");
    makeOld(root + "/Gala/.quon-moving-Ab3dEf");
    EXPECT_EQ(LeftoverCleanup::removeInFolder(root, {".quon-moving-"}, std::time(nullptr)), 0u);
}

TEST_F(LeftoverCleanupTest, TheStationLockIsExclusiveAndNamesItsHolder)
{
    const std::string lockPath = StationLock::lockPathFor(fSandbox.file("config/defaults.plist"));
    EXPECT_EQ(lockPath, fSandbox.file("config/quon-uploader.lock"));
    StationLock first;
    std::string error;
    ASSERT_EQ(first.acquire(lockPath, &error), StationLock::Result::Acquired) << error;
    EXPECT_EQ(TestSupport::readWholeFile(lockPath), std::to_string(::getpid()) + "\n");
    {
        StationLock second;
        EXPECT_EQ(second.acquire(lockPath, &error), StationLock::Result::HeldByAnother);
        EXPECT_EQ(second.holderPid(), ::getpid());
        EXPECT_FALSE(second.isHeld());
    }
    createFileWithContents(fSandbox.file("blocker"), "not a folder");
    StationLock blocked;
    EXPECT_EQ(blocked.acquire(fSandbox.file("blocker/quon-uploader.lock"), &error), StationLock::Result::Failed);
}
