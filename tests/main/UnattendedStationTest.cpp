// The unattended station, run as a new operator runs it: quon-uploader
// headless against quon-refserver, set up with its folders, address, login,
// password and event name only, and then left alone or driven with quon-ctl.

#include "ProgramTestSupport.h"
#include "TestSupport.h"
#include "mkphoto/PhotoWriter.h"

#include "RefServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <filesystem>
#include <unistd.h>

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using ProgramTestSupport::kBin;

using ProgramTestSupport::CtlResult;

using ProgramTestSupport::processExists;

} // namespace

class UnattendedStationTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        fEnv = ProgramTestSupport::stationEnvironment(fSandbox);
        fEnv.remove("XDG_RUNTIME_DIR");
        fEnv.remove("QUON_LAUNCH_FLAGS");
        fEnv.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("ctl.sock")));
        fs::create_directories(mirror());
    }
    void TearDown() override
    {
        if (fStation.state() != QProcess::NotRunning) {
            fStation.kill();
            fStation.waitForFinished(5000);
        }
        // A relaunched station is no child of ours: end it by its id.
        const pid_t holder = lockHolder();
        if (holder > 0 && holder != ::getpid() && processExists(holder)) {
            ::kill(holder, SIGKILL);
            waitFor([&] { return !processExists(holder); }, 5s);
        }
        if (fServer)
            fServer->stop();
    }

    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }
    std::string storePath() const { return fSandbox.file("home/.config/quon-uploader/defaults.plist"); }
    pid_t lockHolder() const
    {
        return static_cast<pid_t>(
            std::atoi(readWholeFile(fSandbox.file("home/.config/quon-uploader/quon-uploader.lock")).c_str()));
    }

    void startServer(const std::vector<RefBehaviour>& script = {}, const RefBehaviour& otherwise = {})
    {
        RefServer::Options options;
        options.root = fSandbox.file("service");
        options.defaultBehaviour = otherwise;
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
        fServer->script(script);
    }
    void dropPhoto(const std::string& client, const std::string& name)
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/" + name)}});
        fs::create_directories(source() + "/" + client);
        ASSERT_TRUE(PhotoWriter::writePhoto(source() + "/" + client + "/" + name, recipe));
    }
    // Only what a new operator sets: folders, address, login, password, event.
    QStringList stationSettings() const
    {
        return {"--set", "prefLocalSourceUploadFolder=" + QString::fromStdString(source()),
                "--set", "prefLocalMasterMirrorSiteFolder=" + QString::fromStdString(mirror()),
                "--set", "prefOrvURL=" + QString::fromStdString(fServer->url()),
                "--set", "userLoginName=kiosk7",
                "--set", "userLoginPassword=0012",
                "--set", "userEnteredEventName=Gala"};
    }
    void start(const QStringList& extra)
    {
        fStation.setProcessEnvironment(fEnv);
        fStation.setProcessChannelMode(QProcess::MergedChannels);
        fStation.start(kBin + "/quon-uploader", QStringList{"--headless"} + extra);
        ASSERT_TRUE(fStation.waitForStarted(5000));
        ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}).exitCode == 0; }, 20s)) << output();
    }
    CtlResult ctl(const QStringList& args) { return ProgramTestSupport::runCtl(fEnv, args); }
    std::string output()
    {
        fOutput += fStation.readAll().toStdString();
        return fOutput;
    }
    bool filed(const std::string& client, const std::string& name) const
    {
        return fs::exists(mirror() + "/" + client + "/" + name) && !fs::exists(source() + "/" + client + "/" + name);
    }

    QProcessEnvironment fEnv;
    QProcess fStation;
    std::unique_ptr<RefServer> fServer;
    std::string fOutput;
};

TEST_F(UnattendedStationTest, ANewHeadlessStationUploadsWithoutAnyCommand)
{
    startServer();
    dropPhoto("Smith", "IMG_1.jpg");
    start(stationSettings());
    EXPECT_TRUE(
        waitFor([&] { return output().find("Will autoResynchronizeAtStartup is TRUE...") != std::string::npos; }, 5s))
        << output();
    EXPECT_NE(output().find("Uploading starts by itself in 10 seconds..."), std::string::npos) << output();

    // No upnw: the factory defaults start uploading, and no movie is waited for.
    ASSERT_TRUE(waitFor([&] { return filed("Smith", "IMG_1.jpg"); }, 60s)) << output();
    ASSERT_EQ(fServer->requestCount(), 1u);
    EXPECT_EQ(fServer->requests().front().field("password"), "0012") << "the password stays text";
    EXPECT_EQ(ctl({"quit"}).exitCode, 0);
    EXPECT_TRUE(fStation.waitForFinished(15000));
}

TEST_F(UnattendedStationTest, WithTheAutomaticStartOffTheStationWaitsForACommand)
{
    startServer();
    dropPhoto("Smith", "IMG_1.jpg");
    start(stationSettings() + QStringList{"--set", "prefAutoStartUploadAtStartup=no"});
    EXPECT_TRUE(
        waitFor([&] { return output().find("Will autoResynchronizeAtStartup is FALSE...") != std::string::npos; }, 5s))
        << output();
    // Longer than the automatic start would have waited.
    waitFor([] { return false; }, 12s);
    EXPECT_EQ(fServer->requestCount(), 0u);
    EXPECT_FALSE(filed("Smith", "IMG_1.jpg"));

    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    EXPECT_TRUE(waitFor([&] { return filed("Smith", "IMG_1.jpg"); }, 30s)) << output();
}

// The relaunch after a hung upload is meant to recover the station; with the
// automatic start off it used to leave the new instance idle.
TEST_F(UnattendedStationTest, ARelaunchAfterAHungUploadGoesOnUploadingByItself)
{
    RefBehaviour hang;
    hang.hang = true;
    startServer({hang});
    dropPhoto("Smith", "IMG_1.jpg");
    start(stationSettings() +
          QStringList{"--set", "prefAutoStartUploadAtStartup=false", "--set", "prefUploadTimeOut=1", "--set",
                      "prefDoCheckOrders=false"});
    const pid_t first = static_cast<pid_t>(fStation.processId());
    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");

    ASSERT_TRUE(waitFor([&] { return lockHolder() > 0 && lockHolder() != first; }, 60s)) << output();
    EXPECT_TRUE(waitFor([&] { return !processExists(first); }, 20s));
    // No command to the new instance: it sends the photo again by itself.
    ASSERT_TRUE(waitFor([&] { return filed("Smith", "IMG_1.jpg"); }, 60s)) << output();
    EXPECT_EQ(fServer->requestCount(), 2u);
    EXPECT_FALSE(fs::exists(fSandbox.file("home/.config/quon-uploader/quon-uploader.restart")))
        << "the note is read once";
    ctl({"quit"});
}

// Under systemd the station must not start a second copy of itself: it exits
// with its own status, and the supervisor's next start goes on by itself.
TEST_F(UnattendedStationTest, ASupervisedStationLeavesTheRestartToItsSupervisor)
{
    RefBehaviour hang;
    hang.hang = true;
    startServer({hang});
    dropPhoto("Smith", "IMG_1.jpg");
    const QStringList settings = stationSettings() + QStringList{"--set", "prefAutoStartUploadAtStartup=false",
                                                                 "--set", "prefUploadTimeOut=1",
                                                                 "--set", "prefDoCheckOrders=false"};
    start(settings + QStringList{"--supervised"});
    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    ASSERT_TRUE(fStation.waitForFinished(60000)) << output();
    EXPECT_EQ(fStation.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(fStation.exitCode(), 75) << output();
    EXPECT_NE(output().find("exiting with status 75"), std::string::npos) << output();
    EXPECT_EQ(output().find("relaunch => helper"), std::string::npos) << "no second copy";
    EXPECT_EQ(lockHolder() == 0 || !processExists(lockHolder()), true);

    // What the supervisor does: start the same command again.
    fOutput.clear();
    start(settings + QStringList{"--supervised"});
    EXPECT_TRUE(waitFor([&] { return output().find("This start follows a hung upload") != std::string::npos; }, 5s))
        << output();
    ASSERT_TRUE(waitFor([&] { return filed("Smith", "IMG_1.jpg"); }, 60s)) << output();

    // A plain restart later on is no recovery: with the automatic start off it waits.
    EXPECT_EQ(ctl({"quit"}).exitCode, 0);
    ASSERT_TRUE(fStation.waitForFinished(15000));
    EXPECT_EQ(fStation.exitCode(), 0);
    fOutput.clear();
    start(settings);
    EXPECT_TRUE(
        waitFor([&] { return output().find("Will autoResynchronizeAtStartup is FALSE...") != std::string::npos; }, 5s));
    EXPECT_EQ(output().find("This start follows a hung upload"), std::string::npos) << output();
}

// Without a window, upnw (or its alias resume) is the only way out of a pause.
TEST_F(UnattendedStationTest, PauseDuringAnUploadThenUploadNowResumes)
{
    RefBehaviour slow;
    slow.delayMs = 2000;
    startServer({}, slow);
    dropPhoto("Adams", "IMG_1.jpg");
    dropPhoto("Baker", "IMG_2.jpg");
    start(stationSettings() +
          QStringList{"--set", "prefAutoStartUploadAtStartup=false", "--set", "prefDoCheckOrders=false"});
    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    // The service counts a request once answered: the station says when it sends.
    ASSERT_TRUE(waitFor([&] { return output().find("Uploading...") != std::string::npos; }, 20s)) << output();
    EXPECT_EQ(ctl({"paus"}).output, "ACCEPTED\n");

    // The photo being sent is filed, then the station stays paused.
    ASSERT_TRUE(waitFor([&] { return output().find("Process was HALTED") != std::string::npos; }, 30s)) << output();
    EXPECT_NE(filed("Adams", "IMG_1.jpg"), filed("Baker", "IMG_2.jpg")) << "one photo filed, one left";
    // The filed photo's move wakes the watcher; those passes end at the paused check.
    waitFor([] { return false; }, 2s);
    EXPECT_EQ(fServer->requestCount(), 1u);

    // An upload-now that only asked for a scan would end at the paused check too.
    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    ASSERT_TRUE(waitFor([&] { return filed("Adams", "IMG_1.jpg") && filed("Baker", "IMG_2.jpg"); }, 30s)) << output();
    EXPECT_EQ(fServer->requestCount(), 2u);

    // The alias does the same.
    EXPECT_EQ(ctl({"pause"}).output, "ACCEPTED\n");
    EXPECT_EQ(ctl({"resume"}).output, "ACCEPTED\n");
    EXPECT_EQ(ctl({"quit"}).exitCode, 0);
}

TEST_F(UnattendedStationTest, QuonCtlExitsWithOneOnARefusal)
{
    startServer();
    start(stationSettings() + QStringList{"--set", "prefAutoStartUploadAtStartup=false"});
    const CtlResult refused = ctl({"set", "prefAutoSynchronize", "maybe"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.output, "COMMAND FAILED\n");
    const CtlResult accepted = ctl({"set", "prefAutoSynchronize", "no"});
    EXPECT_EQ(accepted.exitCode, 0);
    EXPECT_EQ(accepted.output, "COMMAND SUCCESS\n");
    ctl({"quit"});
}
