#include "RemoteTestSupport.h"
#include "platform/UserDefaults.h"
#include "remote/AppleEventHandler.h"
#include "remote/CommandSocketServer.h"

#include <QProcess>
#include <gtest/gtest.h>

using RemoteTest::RecordingTarget;

namespace {

struct CtlResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs build/bin/quon-ctl while the server goes on serving on this thread.
CtlResult runCtl(const QStringList& arguments)
{
    QProcess process;
    process.setProgram(QStringLiteral(QUON_BIN_DIR "/quon-ctl"));
    process.setArguments(arguments);
    process.start();
    CtlResult result;
    if (!process.waitForStarted(10000)) {
        result.err = "quon-ctl did not start";
        return result;
    }
    TestSupport::waitFor([&] { return process.state() == QProcess::NotRunning; }, std::chrono::seconds(30));
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        result.err = "quon-ctl did not finish";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput().toStdString();
    result.err = process.readAllStandardError().toStdString();
    return result;
}

class QuonCtlTest : public RemoteTest::SettingsTest {
protected:
    void SetUp() override
    {
        SettingsTest::SetUp();
        ASSERT_TRUE(fHandler.setupForAppleEventsForThisApp(&fTarget));
        fPath = fSandbox.file("quon.sock");
        std::string error;
        ASSERT_TRUE(fServer.start(fPath, &error)) << error;
    }

    CtlResult ctl(QStringList arguments, const std::string& socketPath = {})
    {
        arguments.prepend(QString::fromStdString(socketPath.empty() ? fPath : socketPath));
        arguments.prepend(QStringLiteral("--socket"));
        return runCtl(arguments);
    }

    RecordingTarget fTarget;
    AppleEventHandler fHandler;
    CommandSocketServer fServer{fHandler};
    std::string fPath;
};

} // namespace

TEST_F(QuonCtlTest, PrintsTextRepliesAsTheyAreAndListsAsCompactJson)
{
    CtlResult r = ctl({"set", "prefSecondsBetweenScans", "90"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "COMMAND SUCCESS\n");

    r = ctl({"get", "prefSecondsBetweenScans"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[\"COMMAND SUCCESS\",[\"getValue\",\"prefSecondsBetweenScans\",\"90.00\"]]\n");

    // A refused setting is printed like any reply, but exits with 1 for scripts.
    r = ctl({"1234", "setValue", "prefAutoSynchronize", "true"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "COMMAND FAILED\n");

    r = ctl({"1234", "SETVALUE", "userEnteredEventName", "Spring Gala \"2024\""});
    EXPECT_EQ(r.out, "COMMAND SUCCESS\n");
    EXPECT_EQ(UserDefaults::standard().stringForKey("userEnteredEventName"), "Spring Gala \"2024\"");
}

TEST_F(QuonCtlTest, ProcessCommandsAndTheirAliases)
{
    for (const char* command : {"upnw", "upload-now", "resume", "paus", "pause"}) {
        const CtlResult r = ctl({command});
        EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err;
        EXPECT_EQ(r.out, "ACCEPTED\n") << command;
    }
    // Quit has an empty reply: nothing is printed.
    const CtlResult r = ctl({"quit"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fTarget.calls,
              (std::vector<std::string>{"ibClickedOnSynchronizeAgain", "ibClickedOnSynchronizeAgain",
                                        "ibClickedOnSynchronizeAgain", "forceProcessToPause", "forceProcessToPause",
                                        "ibClickedOnQuit"}));

    // A paused uploader is resumed instead of being asked for a scan it would not make.
    fTarget.calls.clear();
    fTarget.paused = true;
    EXPECT_EQ(ctl({"resume"}).out, "ACCEPTED\n");
    EXPECT_EQ(fTarget.calls, std::vector<std::string>{"resumePausedProcess"});
}

TEST_F(QuonCtlTest, UsageErrorsAndRefusalsExitWithOne)
{
    for (const QStringList& arguments : std::vector<QStringList>{{},
                                                                 {"get"},
                                                                 {"set", "userLoginName"},
                                                                 {"1234", "setValue", "userLoginName"},
                                                                 {"upnw", "now"},
                                                                 {"upload"}}) {
        const CtlResult r = ctl(arguments);
        EXPECT_EQ(r.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(runCtl({"--socket"}).exitCode, 1);
    const CtlResult help = runCtl({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: quon-ctl"), std::string::npos);
    EXPECT_TRUE(fTarget.calls.empty());

    // An uploader that registered no commands refuses every one.
    AppleEventHandler unregistered;
    CommandSocketServer refusing(unregistered);
    const std::string refusingPath = fSandbox.file("refusing.sock");
    std::string error;
    ASSERT_TRUE(refusing.start(refusingPath, &error)) << error;
    const CtlResult r = ctl({"upnw"}, refusingPath);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not handled"), std::string::npos) << r.err;
}

TEST_F(QuonCtlTest, ExitsWithTwoWhenNoUploaderAnswers)
{
    // No socket at all.
    CtlResult r = ctl({"upnw"}, fSandbox.file("absent.sock"));
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("no uploader answers"), std::string::npos) << r.err;

    // A socket file nobody listens on.
    fServer.stop();
    const int bound = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, fPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(bound, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    r = ctl({"paus"});
    EXPECT_EQ(r.exitCode, 2) << r.err;

    // Somebody listens but never answers: quon-ctl gives up after its time-out.
    ASSERT_EQ(::listen(bound, 4), 0);
    r = ctl({"paus"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
    ::close(bound);
    EXPECT_TRUE(fTarget.calls.empty());
}
