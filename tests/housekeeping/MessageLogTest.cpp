#include "housekeeping/MessageLog.h"
#include "TestSupport.h"
#include "platform/AppPaths.h"

#include <cstdlib>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using TestSupport::readWholeFile;

class RunLog : public SandboxedTest {
protected:
    void TearDown() override { MessageLog::CloseLog(); }
    std::string path() const { return fSandbox.file("quon-uploaderLog.txt"); }
};

TEST_F(RunLog, ConcurrentWritersEachGetWholeLines)
{
    ASSERT_TRUE(MessageLog::InitLog(path()));
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int n = 0; n < kLines; ++n)
                MessageLog::LogMessage("writer " + std::to_string(t) + " line " + std::to_string(n) +
                                       " with some padding to make torn writes visible");
        });
    for (auto& writer : writers)
        writer.join();
    MessageLog::CloseLog();

    std::istringstream text(readWholeFile(path()));
    const std::regex shape(
        R"(\[\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\] ==> writer (\d) line (\d+) with some padding to make torn writes visible)");
    std::vector<int> next(kThreads, 0);
    int lines = 0;
    for (std::string line; std::getline(text, line); ++lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int writer = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[writer]++); // each writer's lines in its own order
    }
    EXPECT_EQ(lines, kThreads * kLines);
    struct stat info { };
    ASSERT_EQ(::stat(path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(RunLog, WritingOutsideInitAndCloseSaysSoOnTheConsole)
{
    MessageLog::CloseLog();
    TestSupport::LogCapture log;
    MessageLog::LogMessage("lost line");
    EXPECT_TRUE(log.contains("Logfile may be closed already?????"));

    ASSERT_TRUE(MessageLog::InitLog(path()));
    MessageLog::LogMessage("echoed", true);
    EXPECT_TRUE(log.contains("NSLog = echoed"));
    // A new start truncates.
    ASSERT_TRUE(MessageLog::InitLog(path()));
    MessageLog::LogMessage("second start");
    MessageLog::CloseLog();
    const std::string text = readWholeFile(path());
    EXPECT_EQ(text.find("echoed"), std::string::npos);
    EXPECT_NE(text.find("] ==> second start\n"), std::string::npos);
}

TEST_F(RunLog, MyNSLogAddsALineEndOnlyToAFormatWithoutOne)
{
    ASSERT_TRUE(MessageLog::InitLog(path()));
    TestSupport::LogCapture log;
    myNSLog("plain %d", 1);
    myNSLog("ended %d\n", 2);
    myNSLog("%s", "argument ends\n");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "plain 1\n");
    EXPECT_EQ(lines[1], "ended 2\n");
    EXPECT_EQ(lines[2], "argument ends\n\n");
    MessageLog::CloseLog();
    const std::string text = readWholeFile(path());
    EXPECT_NE(text.find("] ==> plain 1\n"), std::string::npos);
    EXPECT_NE(text.find("] ==> ended 2\n"), std::string::npos);
}

TEST_F(RunLog, ABuildTreeKeepsTheRunLogBesideTheProgramUnlessALogRootIsChosen)
{
    // The tests run from the build tree's bin folder, with a log root of their own.
    const std::string chosen = std::getenv("QUON_LOG_ROOT");
    ASSERT_FALSE(chosen.empty());
    EXPECT_EQ(MessageLog::defaultLogPath(), chosen + "/quon-uploaderLog.txt");
    ::unsetenv("QUON_LOG_ROOT");
    const std::string beside = MessageLog::defaultLogPath();
    ::setenv("QUON_LOG_ROOT", chosen.c_str(), 1);
    EXPECT_EQ(beside, AppPaths::executableFolder() + "/quon-uploaderLog.txt");
}
