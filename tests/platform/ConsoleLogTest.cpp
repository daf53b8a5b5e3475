#include "platform/ConsoleLog.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <regex>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
