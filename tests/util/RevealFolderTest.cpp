#include "util/RevealFolder.h"
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sys/stat.h>

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;

// The packaged reveal-folder.sh with a stand-in xdg-open first on the PATH,
// which notes the folder it was asked to show.
class RevealFolderTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        remember("PATH");
        remember("HOME");
        remember("QUON_RESOURCE_DIR");
        const std::string bin = fSandbox.file("bin");
        TestSupport::createFileWithContents(bin + "/xdg-open",
                                            "#!/bin/sh\nprintf '%s' \"$1\" > '" + shown() + ".tmp'\nmv '" + shown() +
                                                ".tmp' '" + shown() + "'\n");
        ::chmod((bin + "/xdg-open").c_str(), 0755);
        ::setenv("PATH", (bin + ":" + fSaved["PATH"]).c_str(), 1);
        ::setenv("QUON_RESOURCE_DIR", QUON_SHARE_DIR, 1);
        ::setenv("HOME", fSandbox.file("home").c_str(), 1);
        std::filesystem::create_directories(fSandbox.file("home/Photos Done"));
    }
    void TearDown() override
    {
        for (const auto& [name, value] : fSaved)
            if (value.empty())
                ::unsetenv(name.c_str());
            else
                ::setenv(name.c_str(), value.c_str(), 1);
    }
    void remember(const char* name)
    {
        const char* value = std::getenv(name);
        fSaved[name] = value ? value : "";
    }
    std::string shown() const { return fSandbox.file("shown"); }

    std::map<std::string, std::string> fSaved;
};

TEST_F(RevealFolderTest, AnExistingFolderIsHandedToTheFileBrowser)
{
    int beeps = 0;
    EXPECT_TRUE(revealItemInFinder("~/Photos Done", [&] { ++beeps; }));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(shown()); }, 10s));
    EXPECT_EQ(readWholeFile(shown()), fSandbox.file("home/Photos Done"));
    EXPECT_EQ(beeps, 0);
}

TEST_F(RevealFolderTest, AnythingButAnExistingFolderIsRefusedWithABeep)
{
    TestSupport::LogCapture log;
    TestSupport::createFileWithContents(fSandbox.file("home/file.txt"), "x");
    int beeps = 0;
    for (const std::string& path : {std::string(), std::string("~/missing"), fSandbox.file("home/file.txt")})
        EXPECT_FALSE(revealItemInFinder(path, [&] { ++beeps; })) << path;
    EXPECT_EQ(beeps, 3);
    EXPECT_EQ(log.count("User Needs to Select a Valid Existing Folder..."), 3u);
    EXPECT_FALSE(std::filesystem::exists(shown()));
}

TEST_F(RevealFolderTest, TheScriptChecksItsArgumentAndItsBrowser)
{
    const std::string script = std::string(QUON_SHARE_DIR) + "/reveal-folder.sh";
    struct stat st { };
    ASSERT_EQ(::stat(script.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR) << "the build keeps the script executable";
    EXPECT_NE(std::system(("'" + script + "' '" + fSandbox.file("nowhere") + "' 2>/dev/null").c_str()), 0);
    ::setenv("PATH", "/nonexistent", 1);
    EXPECT_NE(std::system(("'" + script + "' '" + fSandbox.file("home") + "' 2>/dev/null").c_str()), 0)
        << "no xdg-open";
}
