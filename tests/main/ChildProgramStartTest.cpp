// The tests start the programs through QProcess. Under ThreadSanitizer such a
// start is a plain fork (tests/CloneAsFork.cpp): the starting thread's locks
// stay visible to it afterwards, and QProcess still reports what the program
// did. In other builds these are QProcess's own guarantees.

#include <QProcess>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

int runShell(const QString& script, QString* output)
{
    QProcess process;
    process.start("/bin/sh", {"-c", script});
    if (!process.waitForFinished(10000))
        return -1;
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

TEST(ChildProgramStartTest, LocksOfTheStartingThreadStillOrderItsWritesAfterAStart)
{
    // Without the plain fork, ThreadSanitizer reports the read of value as a
    // race with the write before it, although both hold the lock: the thread
    // that started the program no longer orders what it does with the threads
    // it starts afterwards.
    ASSERT_EQ(runShell("exit 0", nullptr), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::mutex lock;
    int value = 0;
    int seen = -1;
    std::thread reader([&] {
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        std::lock_guard hold(lock);
        seen = value;
    });
    {
        std::lock_guard hold(lock);
        value = 7;
    }
    ASSERT_EQ(::write(ready[1], "x", 1), 1);
    reader.join();
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(seen, 7);
}

TEST(ChildProgramStartTest, TheProgramsOutputExitCodeAndFailureToStartAreReported)
{
    QString output;
    EXPECT_EQ(runShell("echo one; echo two >&2; exit 3", &output), 3);
    EXPECT_EQ(output, "one\n");

    QProcess missing;
    missing.start("/nonexistent/quon-program", {});
    EXPECT_FALSE(missing.waitForStarted(10000));
    EXPECT_EQ(missing.error(), QProcess::FailedToStart);

    // Many starts in a row, as the status tests make them.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(runShell(QString("exit %1").arg(i), nullptr), i);
}
