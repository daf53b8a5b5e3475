#include "util/Relaunch.h"
#include "TestSupport.h"
#include "util/ShellScript.h"

#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;

// The relaunch helper and the call that starts it, with a stand-in program
// that records how it was started and a short-lived process to wait for.
class RelaunchTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        // The stand-in notes its arguments, its launch flags and whether the
        // process it replaces had finished when it started.
        TestSupport::createFileWithContents(app(),
                                            "#!/bin/sh\n"
                                            "{ echo \"args:$*\"; echo \"flags:$QUON_LAUNCH_FLAGS\";\n"
                                            "  if [ -e '" +
                                                fSandbox.file("ended") +
                                                "' ]; then echo after; else echo before; fi;\n"
                                                "} > '" +
                                                fSandbox.file("started.tmp") +
                                                "'\n"
                                                "mv '" +
                                                fSandbox.file("started.tmp") + "' '" + fSandbox.file("started") +
                                                "'\n");
        ::chmod(app().c_str(), 0755);
    }
    void TearDown() override
    {
        if (fOldApp > 0)
            ::waitpid(fOldApp, nullptr, 0);
    }
    std::string app() const { return fSandbox.file("app.sh"); }
    std::string helper() const { return std::string(QUON_BIN_DIR) + "/quon-relaunch"; }
    std::string started() const { return fSandbox.file("started"); }

    // The "old instance": ends after a moment, leaving a mark just before.
    pid_t startOldInstance()
    {
        const std::string script = "sleep 0.4; touch '" + fSandbox.file("ended") + "'";
        std::vector<char*> argv = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                                   const_cast<char*>(script.c_str()), nullptr};
        EXPECT_EQ(::posix_spawn(&fOldApp, "/bin/sh", nullptr, nullptr, argv.data(), environ), 0);
        return fOldApp;
    }

    pid_t fOldApp = -1;
};

TEST_F(RelaunchTest, TheHelperWaitsForTheOldInstanceThenStartsTheAppAgain)
{
    const pid_t old = startOldInstance();
    // Our own child stays a zombie until we collect it: the helper must count that as ended.
    const ProcessResult run =
        runProgram(helper(), {app(), std::to_string(old), "1049344", "--headless", "--set", "a=b c"});
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, 0);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(started()); }, 10s));
    EXPECT_EQ(readWholeFile(started()), "args:--headless --set a=b c\nflags:1049344\nafter\n");
}

TEST_F(RelaunchTest, TheHelperRefusesBadArguments)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{app(), "12"}, std::vector<std::string>{app(), "not-a-pid", "1"},
          std::vector<std::string>{app(), "-5", "1"}, std::vector<std::string>{"", "12", "1"}}) {
        const ProcessResult run = runProgram(helper(), args);
        EXPECT_EQ(run.exitStatus, 64);
    }
    EXPECT_FALSE(std::filesystem::exists(started()));
}

TEST_F(RelaunchTest, RelaunchStartsTheHelperWithPathPidFlagsAndArgumentsThenTerminates)
{
    RelaunchTarget target;
    target.helperPath = helper();
    target.appPath = app();
    target.pid = startOldInstance();
    target.arguments = {"--headless"};
    const void* terminatedBy = nullptr;
    int terminations = 0;
    int sender = 0;
    RelaunchRequest request;
    request.LSLaunchFlags = RelaunchRequest::kLaunchFlagsInBackground;
    request.sender = &sender;
    EXPECT_TRUE(relaunch(
        request,
        [&](const void* s) {
            terminatedBy = s;
            ++terminations;
        },
        target));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(terminatedBy, &sender);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(started()); }, 10s));
    EXPECT_EQ(readWholeFile(started()), "args:--headless\nflags:1049344\nafter\n");
}

TEST_F(RelaunchTest, WithoutARequestTheFlagsAreOneAndThereIsNoSender)
{
    RelaunchTarget target;
    target.helperPath = helper();
    target.appPath = app();
    target.pid = startOldInstance();
    const void* terminatedBy = &target;
    EXPECT_TRUE(relaunch(
        std::nullopt, [&](const void* s) { terminatedBy = s; }, target));
    EXPECT_EQ(terminatedBy, nullptr);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(started()); }, 10s));
    EXPECT_EQ(readWholeFile(started()), "args:\nflags:1\nafter\n");
}

TEST_F(RelaunchTest, AMissingHelperLeavesTheApplicationRunning)
{
    TestSupport::LogCapture log;
    RelaunchTarget target;
    target.helperPath = fSandbox.file("no-such-helper");
    target.appPath = app();
    target.pid = ::getpid();
    bool terminated = false;
    EXPECT_FALSE(relaunch(
        RelaunchRequest{}, [&](const void*) { terminated = true; }, target));
    EXPECT_FALSE(terminated);
    EXPECT_TRUE(log.contains("relaunch FAILED"));
}

TEST_F(RelaunchTest, TheCurrentApplicationIsDescribedByItsOwnProcess)
{
    const RelaunchTarget self = RelaunchTarget::currentApplication();
    EXPECT_EQ(self.pid, ::getpid());
    EXPECT_EQ(self.appPath, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(self.helperPath, std::filesystem::path(self.appPath).parent_path().string() + "/quon-relaunch");
    // The arguments as the kernel keeps them, less the program itself.
    const std::string cmdline = readWholeFile("/proc/self/cmdline");
    std::vector<std::string> expected;
    for (size_t start = 0; start < cmdline.size();) {
        const size_t end = cmdline.find('\0', start);
        expected.push_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    expected.erase(expected.begin());
    EXPECT_EQ(self.arguments, expected);

    RelaunchRequest request;
    request.LSLaunchFlags = 1049344;
    EXPECT_EQ(request.describe(), "{LSLaunchFlags = 1049344; sender = (null)}");
}

// A descriptor the old instance left open without close-on-exec (libcurl's
// connection was one) must reach neither the helper nor the new instance.
TEST_F(RelaunchTest, NoInheritedDescriptorReachesTheHelperOrTheNewInstance)
{
    // The stand-in notes every descriptor it has above standard error.
    TestSupport::createFileWithContents(app(),
                                        "#!/bin/sh\n"
                                        "ls /proc/$$/fd | sort -n | awk '$1 > 2' | tr '\\n' ' ' > '" +
                                            fSandbox.file("started.tmp") +
                                            "'\n"
                                            "mv '" +
                                            fSandbox.file("started.tmp") + "' '" + started() + "'\n");
    ::chmod(app().c_str(), 0755);
    // Neither has close-on-exec, on purpose; both lie clear of the shell's own.
    const int opened = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int leaked = ::fcntl(opened, F_DUPFD, 150);
    const int high = ::fcntl(opened, F_DUPFD, 200);
    ::close(opened);
    ASSERT_GE(leaked, 150);
    ASSERT_GE(high, 200);

    // quon-relaunch started by someone who does not close anything.
    const pid_t old = startOldInstance();
    const std::string pidText = std::to_string(old);
    const std::string helperPath = helper();
    const std::string appPath = app();
    std::vector<char*> argv = {const_cast<char*>(helperPath.c_str()), const_cast<char*>(appPath.c_str()),
                               const_cast<char*>(pidText.c_str()), const_cast<char*>("1"), nullptr};
    pid_t helperPid = 0;
    ASSERT_EQ(::posix_spawn(&helperPid, helperPath.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(started()); }, 10s));
    ::waitpid(helperPid, nullptr, 0);
    const std::string fds = readWholeFile(started());
    EXPECT_EQ(fds.find(std::to_string(leaked) + " "), std::string::npos) << fds;
    EXPECT_EQ(fds.find(std::to_string(high) + " "), std::string::npos) << fds;

    // The helper as the uploader starts it.
    std::filesystem::remove(started());
    std::string error;
    ASSERT_TRUE(startDetachedProgram(app(), {}, &error)) << error;
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(started()); }, 10s));
    const std::string direct = readWholeFile(started());
    EXPECT_EQ(direct.find(std::to_string(leaked) + " "), std::string::npos) << direct;
    EXPECT_EQ(direct.find(std::to_string(high) + " "), std::string::npos) << direct;
    ::close(leaked);
    ::close(high);
}
