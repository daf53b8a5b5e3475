#include "platform/ConsoleLog.h"

#include "TestSupport.h"
#include "util/ShellScript.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Standard error goes to a file while it lives.
class StderrToFile {
public:
    explicit StderrToFile(const std::string& path) : fPath(path)
    {
        fSaved = ::dup(STDERR_FILENO);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrToFile() { restore(); }
    std::string restore()
    {
        if (fSaved >= 0) {
            ::dup2(fSaved, STDERR_FILENO);
            ::close(fSaved);
            fSaved = -1;
        }
        return TestSupport::readWholeFile(fPath);
    }

private:
    std::string fPath;
    int fSaved = -1;
};

long currentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

std::string stampOf(int pid, long tid) { return " quon[" + std::to_string(pid) + ":" + std::to_string(tid) + "] "; }

} // namespace

TEST(ConsoleLogTest, EachLineCarriesTheTimeTheProcessAndItsThread)
{
    TestSupport::TempDir dir;
    StderrToFile capture(dir.file("stderr"));
    ConsoleLog::writef("first %s [%d]", "line", 1);
    long otherThread = 0;
    std::thread([&] {
        otherThread = currentThreadId();
        ConsoleLog::write("from another thread\n");
        ConsoleLog::write(std::string(3000, 'z')); // longer than any buffer on the way
    }).join();
    ConsoleLog::write("last");
    const std::string text = capture.restore();

    const std::string mine = stampOf(::getpid(), currentThreadId());
    const std::string other = stampOf(::getpid(), otherThread);
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} quon\[\d+:\d+\] [^\n]*\n)");
    std::string expected;
    EXPECT_TRUE(std::regex_search(text, line));
    EXPECT_NE(text.find(mine + "first line [1]\n"), std::string::npos) << text;
    EXPECT_NE(text.find(other + "from another thread\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("from another thread\n\n"), std::string::npos) << "a line that ends itself gets no second break";
    EXPECT_NE(text.find(other + std::string(3000, 'z') + "\n"), std::string::npos);
    EXPECT_NE(text.find(mine + "last\n"), std::string::npos) << text;
}

TEST(ConsoleLogTest, AForkedChildStampsItsOwnProcess)
{
    TestSupport::TempDir dir;
    ConsoleLog::write("parent before"); // the ids are taken by now
    StderrToFile capture(dir.file("stderr"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ConsoleLog::write("child");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string text = capture.restore();
    EXPECT_NE(text.find(stampOf(child, child) + "child\n"), std::string::npos) << text;
}

// --- the batched writer ---

namespace {

// The writer runs while this lives; what it queued is written when it ends.
class BatchedWriter {
public:
    BatchedWriter() { ConsoleLog::startWriter(); }
    ~BatchedWriter() { ConsoleLog::stopWriter(); }
};

// Milliseconds since the epoch of a line's stamp "2026-12-06 15:39:10.123 ", or -1.
long long stampMillis(const std::string& line)
{
    std::tm local{};
    int millis = 0;
    if (line.size() < 23 || std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%3d", &local.tm_year, &local.tm_mon,
                                        &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &millis) != 7)
        return -1;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&local)) * 1000 + millis;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace

TEST(ConsoleLogWriterTest, ManyThreadsManyLinesAllWholeNoneLostEachThreadInOrder)
{
    TestSupport::TempDir dir;
    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    std::vector<long> threadIds(kThreads);
    std::string text;
    {
        StderrToFile capture(dir.file("stderr"));
        {
            BatchedWriter writer;
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([t, &threadIds] {
                    threadIds[t] = currentThreadId();
                    for (int i = 0; i < kLines; ++i) {
                        // Lines of many lengths, some far longer than a pipe's atomic write.
                        const std::string body(static_cast<size_t>((i * 37 + t * 11) % 300 + (i % 500 == 0 ? 8000 : 0)),
                                               static_cast<char>('a' + t));
                        if (i % 3 == 0)
                            ConsoleLog::writeRaw("raw " + std::to_string(t) + " " + std::to_string(i) + " " + body + "\n");
                        else
                            ConsoleLog::writef("line %d %d %s", t, i, body.c_str());
                    }
                });
            for (auto& thread : threads)
                thread.join();
        }
        text = capture.restore();
    }

    const std::regex stamp(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) quon\[(\d+):(\d+)\] )");
    // "WORD t i body": the thread, the line's number and its body.
    const auto parse = [](const std::string& rest, const char* word, int& t, int& i, std::string& body) {
        const std::string lead = std::string(word) + " ";
        if (rest.rfind(lead, 0) != 0)
            return false;
        const size_t second = rest.find(' ', lead.size());
        const size_t third = second == std::string::npos ? second : rest.find(' ', second + 1);
        if (third == std::string::npos)
            return false;
        t = std::atoi(rest.substr(lead.size(), second - lead.size()).c_str());
        i = std::atoi(rest.substr(second + 1, third - second - 1).c_str());
        body = rest.substr(third + 1);
        return true;
    };
    std::vector<int> next(kThreads, 0);
    long long lastStamp = -1;
    size_t count = 0;
    for (const auto& line : linesOf(text)) {
        int t = 0, i = 0;
        std::string body;
        const size_t close = line.find("] ");
        std::smatch m;
        const std::string head = close == std::string::npos ? std::string() : line.substr(0, close + 2);
        if (std::regex_match(head, m, stamp) && parse(line.substr(close + 2), "line", t, i, body)) {
            ASSERT_EQ(std::stoi(m[2]), ::getpid());
            ASSERT_LT(t, kThreads);
            ASSERT_EQ(std::stol(m[3]), threadIds[static_cast<size_t>(t)]) << "the line carries its own thread";
            const long long when = stampMillis(line);
            ASSERT_GE(when, lastStamp) << "lines are in the order of their stamps: " << line.substr(0, 60);
            lastStamp = when;
        } else if (!parse(line, "raw", t, i, body)) {
            FAIL() << "a torn or mixed line: " << line.substr(0, 120);
        }
        ASSERT_LT(t, kThreads);
        ASSERT_EQ(i, next[static_cast<size_t>(t)]) << "thread " << t << " lost or reordered a line";
        ++next[static_cast<size_t>(t)];
        const size_t length = static_cast<size_t>((i * 37 + t * 11) % 300 + (i % 500 == 0 ? 8000 : 0));
        ASSERT_EQ(body, std::string(length, static_cast<char>('a' + t))) << "line " << i << " of thread " << t;
        ++count;
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

TEST(ConsoleLogWriterTest, ALineReachesTheFileWithinMillisecondsWhileTheWriterRuns)
{
    TestSupport::TempDir dir;
    StderrToFile capture(dir.file("stderr"));
    BatchedWriter writer;
    ConsoleLog::write("soon in the file");
    // Nothing flushes it here: the writer thread must write it by itself.
    EXPECT_TRUE(TestSupport::waitFor(
        [&] { return TestSupport::readWholeFile(dir.file("stderr")).find("soon in the file\n") != std::string::npos; },
        std::chrono::seconds(10)));
}

TEST(ConsoleLogWriterTest, QueuedLinesGoToTheOldPlaceBeforeStandardErrorMoves)
{
    TestSupport::TempDir dir;
    StderrToFile capture(dir.file("first"));
    BatchedWriter writer;
    for (int i = 0; i < 100; ++i)
        ConsoleLog::writef("before the move %d", i);
    const int fd = ::open(dir.file("second").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ConsoleLog::redirectStandardError(fd));
    ::close(fd);
    ConsoleLog::write("after the move");
    ConsoleLog::flush();
    const std::string second = TestSupport::readWholeFile(dir.file("second"));
    const std::string first = capture.restore();
    EXPECT_NE(first.find("before the move 99\n"), std::string::npos) << first;
    EXPECT_EQ(first.find("after the move"), std::string::npos);
    EXPECT_EQ(second.find("before the move"), std::string::npos) << second;
    EXPECT_NE(second.find("after the move\n"), std::string::npos) << second;
}

// A child process that queues lines and then ends in one way or another: its
// lines must be in the file.
class ConsoleLogEndTest : public ::testing::TestWithParam<std::string> { };

TEST_P(ConsoleLogEndTest, QueuedLinesAreWrittenBeforeTheProcessEnds)
{
    TestSupport::TempDir dir;
    const std::string how = GetParam();
    StderrToFile capture(dir.file("stderr"));
    std::fflush(nullptr); // the child's exit must not print the parent's buffered output again
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ConsoleLog::startWriter();
        for (int i = 0; i < 50; ++i)
            ConsoleLog::writef("child line %d", i);
        ConsoleLog::write("last word before " + how);
        if (how == "exit")
            std::exit(0);
        if (how == "abort")
            std::abort();
        if (how == "crash")
            ::raise(SIGILL); // not SIGSEGV: the sanitizers' own handlers would report that one as a fault
        if (how == "spawn") {
            // The helper programs are started this way (posix_spawn, which runs no fork handlers).
            runProgram("/bin/sh", {"-c", "echo spawned program >&2"});
            ::_exit(0);
        }
        if (how == "fork") {
            const pid_t grandchild = ::fork();
            if (grandchild == 0) {
                ConsoleLog::write("from the grandchild");
                ::_exit(0);
            }
            ::waitpid(grandchild, nullptr, 0);
            ::_exit(0);
        }
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string text = capture.restore();
    const size_t last = text.find("last word before " + how + "\n");
    EXPECT_NE(last, std::string::npos) << text;
    EXPECT_NE(text.find("child line 49\n"), std::string::npos);
    if (how == "abort")
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "the crash still ends the process";
    if (how == "crash")
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGILL);
    if (how == "spawn") {
        const size_t spawned = text.find("spawned program\n");
        ASSERT_NE(spawned, std::string::npos) << text;
        EXPECT_LT(last, spawned);
    }
    if (how == "fork") {
        const size_t grandchild = text.find("from the grandchild\n");
        ASSERT_NE(grandchild, std::string::npos) << text;
        EXPECT_LT(last, grandchild) << "the parent's queued lines go out before the child writes";
        EXPECT_EQ(text.find("last word before fork\n", last + 1), std::string::npos) << "the child never repeats them";
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, ConsoleLogEndTest, ::testing::Values("exit", "abort", "crash", "spawn", "fork"));
