// The station's console log is written in batches: what it logs just before
// it ends, or before a hung upload makes it hand over to a new instance, must
// be in the daily log, and before anything the new instance writes.

#include "ProgramTestSupport.h"
#include "TestSupport.h"
#include "mkphoto/PhotoWriter.h"

#include "RefServer.h"

#include <QProcess>
#include <csignal>
#include <filesystem>

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using ProgramTestSupport::processExists;

std::string stampOf(pid_t pid) { return " quon[" + std::to_string(pid) + ":"; }

} // namespace

class LogWriterProgramTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        fEnv = ProgramTestSupport::stationEnvironment(fSandbox);
        fEnv.remove("XDG_RUNTIME_DIR");
        fEnv.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("ctl.sock")));
        fs::create_directories(fSandbox.file("Mirror"));
        fs::create_directories(fSandbox.file("Source"));
    }
    void TearDown() override
    {
        if (fStation.state() != QProcess::NotRunning) {
            fStation.kill();
            fStation.waitForFinished(5000);
        }
        // A relaunched station may itself have been relaunched since: stop
        // whichever holds the station lock too.
        for (const pid_t pid : {fRelaunched, lockHolder()}) {
            if (pid > 0 && pid != ::getpid() && processExists(pid) &&
                readWholeFile("/proc/" + std::to_string(pid) + "/cmdline").find("quon-uploader") != std::string::npos) {
                ::kill(pid, SIGKILL);
                waitFor([&] { return !processExists(pid); }, 5s);
            }
        }
    }

    QStringList settings(const std::string& url) const
    {
        return {
            "--set", "prefLocalSourceUploadFolder=" + QString::fromStdString(fSandbox.file("Source")),
            "--set", "prefLocalMasterMirrorSiteFolder=" + QString::fromStdString(fSandbox.file("Mirror")),
            "--set", "userEnteredEventName=Gala",
            "--set", "userLoginName=kiosk7",
            "--set", "userLoginPassword=pw",
            "--set", "prefOrvURL=" + QString::fromStdString(url),
            "--set", "prefUploadMovie=false",
            "--set", "prefAutoSynchronize=false",
            "--set", "prefAutoStartUploadAtStartup=false",
            "--set", "prefDoCheckOrders=false",
            "--set", "prefUploadTimeOut=1",
            "--set", "prefDoRedirectNSLog=true",
        };
    }
    void start(const QStringList& extra)
    {
        fStation.setProcessEnvironment(fEnv);
        fStation.setProcessChannelMode(QProcess::MergedChannels);
        fStation.start(ProgramTestSupport::kBin + "/quon-uploader", QStringList{"--headless"} + extra);
        ASSERT_TRUE(fStation.waitForStarted(5000));
        ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}).exitCode == 0; }, 20s))
            << fStation.readAll().toStdString();
    }
    ProgramTestSupport::CtlResult ctl(const QStringList& args) { return ProgramTestSupport::runCtl(fEnv, args); }
    void addPhoto(const std::string& name)
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/" + name)}});
        fs::create_directories(fSandbox.file("Source/Smith"));
        ASSERT_TRUE(PhotoWriter::writePhoto(fSandbox.file("Source/Smith/" + name), recipe));
    }
    // The text of the daily logs (there is one unless the day turns during the test).
    std::string dailyLog() const
    {
        std::string text;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fSandbox.file("Logs/Quon"), ec))
            if (entry.path().extension() == ".log")
                text += readWholeFile(entry.path().string());
        return text;
    }
    pid_t lockHolder() const
    {
        return static_cast<pid_t>(
            std::atoi(readWholeFile(fSandbox.file("home/.config/quon-uploader/quon-uploader.lock")).c_str()));
    }

    QProcessEnvironment fEnv;
    QProcess fStation;
    pid_t fRelaunched = -1;
};

TEST_F(LogWriterProgramTest, LinesOfARunningStationReachTheLogAndItsLastLinesSurviveItsEnd)
{
    RefServer::Options options;
    options.root = fSandbox.file("service");
    RefServer server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    start(settings(server.url()));
    const pid_t pid = static_cast<pid_t>(fStation.processId());

    addPhoto("IMG_1.jpg");
    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    // Read while the station runs, as an operator would.
    ASSERT_TRUE(waitFor([&] { return fs::exists(fSandbox.file("Mirror/Smith/IMG_1.jpg")); }, 30s))
        << fStation.readAll().toStdString();
    EXPECT_TRUE(waitFor([&] { return dailyLog().find("IMG_1.jpg") != std::string::npos; }, 10s));

    // The last line is logged on the way out, a moment before the process ends.
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(fStation.waitForFinished(20000));
    const std::string log = dailyLog();
    const size_t last = log.find(stampOf(pid) + std::to_string(pid) + "] Received a termination signal; quitting...\n");
    EXPECT_NE(last, std::string::npos) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    server.stop();
}

TEST_F(LogWriterProgramTest, AStationThatHandsOverAfterAHungUploadLeavesAllItsLinesBeforeTheNewOnesLines)
{
    RefServer::Options options;
    options.root = fSandbox.file("service");
    RefBehaviour hang;
    hang.hang = true;
    options.defaultBehaviour = hang;
    RefServer server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    addPhoto("IMG_1.jpg");
    start(settings(server.url()));
    const pid_t first = static_cast<pid_t>(fStation.processId());

    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    ASSERT_TRUE(waitFor([&] { return lockHolder() > 0 && lockHolder() != first; }, 60s))
        << fStation.readAll().toStdString();
    ASSERT_TRUE(waitFor([&] { return !processExists(first); }, 20s));
    const pid_t second = lockHolder();
    fRelaunched = second;
    ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}).exitCode == 0; }, 20s));
    ASSERT_TRUE(waitFor([&] { return dailyLog().find(stampOf(second)) != std::string::npos; }, 30s))
        << "no line of station " << second << " after the one of " << first << ":\n"
        << dailyLog().substr(dailyLog().size() > 3000 ? dailyLog().size() - 3000 : 0);

    const std::string log = dailyLog();
    const size_t handOver = log.find(stampOf(first) + std::to_string(first) + "] relaunch => helper = [");
    ASSERT_NE(handOver, std::string::npos) << "the line logged just before the helper starts is kept";
    const size_t lastOfFirst = log.rfind(stampOf(first));
    const size_t firstOfSecond = log.find(stampOf(second));
    EXPECT_LT(handOver, firstOfSecond);
    EXPECT_LT(lastOfFirst, firstOfSecond) << "every line of the old station comes before the new one's";

    ctl({"quit"});
    EXPECT_TRUE(waitFor([&] { return !processExists(second); }, 20s));
    server.stop();
}
