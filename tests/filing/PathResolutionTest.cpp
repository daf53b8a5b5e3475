#include "TestSupport.h"
#include "filing/ZVI_FileManager.h"
#include "prefs/PreferenceKeys.h"

#include <filesystem>

using TestSupport::createFileWithContents;
using TestSupport::LogCapture;

// Resolution of a recorded path below search roots, on real folders.
class PathResolutionTest : public StoreSandboxTest {
protected:
    void setTag(int tag) { UserDefaults::standard().setObject(PrefKey::SearchPathMethodTag, PlistValue::integer(tag)); }
    std::string at(const std::string& relative) const { return fSandbox.file(relative); }
    std::string file(const std::string& relative)
    {
        createFileWithContents(at(relative), "x");
        return at(relative);
    }
    // The candidates tried, in order, as the log names them.
    static std::vector<std::string> searched(const LogCapture& log)
    {
        std::vector<std::string> paths;
        for (const auto& line : log.lines())
            if (line.rfind("Searching: [", 0) == 0)
                paths.push_back(line.substr(12, line.size() - 13));
        return paths;
    }
    using Roots = std::optional<std::vector<std::string>>;
};

TEST_F(PathResolutionTest, EachSearchTagDecidesWhatIsLookedAt)
{
    const std::string original = file("Shoot/IMG_1.jpg");
    file("R/IMG_1.jpg");
    const Roots roots = std::vector<std::string>{at("R")};

    setTag(0);
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, roots));
    setTag(1); // the recorded path only, a folder there counts too
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, roots), original);
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(at("Shoot"), roots), at("Shoot"));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(at("Gone/IMG_1.jpg"), roots));
    setTag(2); // below roots: the recorded path is the first candidate
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, roots), original);
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(at("Gone/IMG_1.jpg"), roots), at("R/IMG_1.jpg"));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, std::nullopt));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, Roots{std::vector<std::string>{}}));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInPath(original, at("NoSuchRoot")));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInPath(original, at("R/IMG_1.jpg"))); // not a folder
    setTag(3);
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(at("Shoot"), std::nullopt), at("Shoot"));
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(at("Gone/IMG_1.jpg"), roots), at("R/IMG_1.jpg"));
    setTag(7);
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, roots));
}

TEST_F(PathResolutionTest, CandidatesDropLeadingFoldersOneAtATime)
{
    setTag(2);
    std::filesystem::create_directories(at("R"));
    LogCapture log;
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInPath("/Volumes/Shoot/Event 7/0042/IMG_12.jpg", at("R")));
    const std::string r = at("R");
    EXPECT_EQ(
        searched(log),
        (std::vector<std::string>{"/Volumes/Shoot/Event 7/0042/IMG_12.jpg",
                                  r + "/Volumes/Shoot/Event 7/0042/IMG_12.jpg", r + "/Shoot/Event 7/0042/IMG_12.jpg",
                                  r + "/Event 7/0042/IMG_12.jpg", r + "/0042/IMG_12.jpg", r + "/IMG_12.jpg"}));

    // The longer re-rooted path wins, and a folder never matches.
    file("R/c.jpg");
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInPath("/A/B/c.jpg", at("R")), at("R/c.jpg"));
    file("R/B/c.jpg");
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInPath("/A/B/c.jpg", at("R")), at("R/B/c.jpg"));
    std::filesystem::create_directories(at("R/A/B/c.jpg"));
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInPath("/A/B/c.jpg", at("R")), at("R/B/c.jpg"));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInPath("", at("R")));
}

TEST_F(PathResolutionTest, TheFirstRootsVisibleSubFoldersAreSearchedAfterTheRoots)
{
    setTag(2);
    file("R/Day 2/IMG_5.jpg");
    file("R/.hidden/IMG_6.jpg");
    file("S/Day 3/IMG_7.jpg"); // sub-folders of the second root are not searched
    file("S/IMG_8.jpg");
    const Roots roots = std::vector<std::string>{at("R"), at("S")};
    std::string under;
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/x/IMG_5.jpg", roots, &under),
              at("R/Day 2/IMG_5.jpg"));
    EXPECT_EQ(under, at("R")); // a sub-folder belongs to the first root's tree
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/x/IMG_6.jpg", roots));
    EXPECT_FALSE(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/x/IMG_7.jpg", roots));
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/x/IMG_8.jpg", roots, &under), at("S/IMG_8.jpg"));
    EXPECT_EQ(under, at("S"));

    // The root's own copy comes before its sub-folder's.
    file("R/IMG_5.jpg");
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/x/IMG_5.jpg", roots), at("R/IMG_5.jpg"));
    // Found at the recorded path itself: no root.
    const std::string original = file("Shoot/IMG_9.jpg");
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths(original, roots, &under), original);
    EXPECT_EQ(under, "");
}

TEST_F(PathResolutionTest, EscapesAreDecodedAndRelativePathsLookOnlyBelowTheRoots)
{
    setTag(3);
    file("R/Event 7/IMG 1.jpg");
    const Roots roots = std::vector<std::string>{at("R")};
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/Old/Event%207/IMG%201.jpg", roots),
              at("R/Event 7/IMG 1.jpg"));
    file("R/\xC6\x92older/IMG.jpg"); // %C4 is U+0192 in Mac OS Roman
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInArrayOfPaths("/Old/%C4older/IMG.jpg", roots),
              at("R/\xC6\x92older/IMG.jpg"));

    // A relative path is tried below the root whole, never against the current folder.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(fSandbox.path());
    file("4711/4711_2.jpg");
    LogCapture log;
    std::string under;
    const auto found = ZVI_FileManager::doResolveOriginalPathInPath("4711/4711_2.jpg", at("R"), &under);
    std::filesystem::current_path(previous);
    EXPECT_FALSE(found);
    EXPECT_EQ(searched(log), (std::vector<std::string>{at("R/4711/4711_2.jpg"), at("R/4711_2.jpg")}));
    file("R/4711/4711_2.jpg");
    EXPECT_EQ(ZVI_FileManager::doResolveOriginalPathInPath("4711/4711_2.jpg", at("R"), &under),
              at("R/4711/4711_2.jpg"));
    EXPECT_EQ(under, at("R"));
}
