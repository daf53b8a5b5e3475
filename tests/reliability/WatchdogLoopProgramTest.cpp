// The watchdog loop with the real programs: a supervised quon-uploader whose
// upload of one photo always hangs exits for its supervisor each time the
// watchdog cuts it off; the test starts it again as the supervisor would. The
// photo's cut-offs and pause live on in the state folder, so the new process
// lets the other photos go first instead of sending the same photo at once.

#include "../main/ProgramTestSupport.h"
#include "TestSupport.h"
#include "../filing/ChainTestSupport.h"

#include "RefServer.h"

#include <QProcess>
#include <filesystem>

using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class WatchdogLoopProgramTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        fEnv = ProgramTestSupport::stationEnvironment(fSandbox);
        fEnv.remove("XDG_RUNTIME_DIR");
        fEnv.remove("QUON_LAUNCH_FLAGS");
        fEnv.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("ctl.sock")));
        fs::create_directories(mirror());
        RefServer::Options options;
        options.root = fSandbox.file("service");
        RefBehaviour hang;
        hang.hang = true;
        options.byFileName["IMG_A.jpg"] = hang;
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
    }
    void TearDown() override
    {
        if (fStation.state() != QProcess::NotRunning) {
            fStation.kill();
            fStation.waitForFinished(5000);
        }
        if (fServer)
            fServer->stop();
    }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }
    void photo(const std::string& relative) { ChainTestSupport::writeReadyPhoto(source(), relative); }
    bool filed(const std::string& relative) const
    {
        return fs::exists(mirror() + "/" + relative) && !fs::exists(source() + "/" + relative);
    }
    // What the supervisor runs, then an upload request (rather than the automatic start's wait).
    void startAndUpload()
    {
        fOutput.clear();
        fStation.setProcessEnvironment(fEnv);
        fStation.setProcessChannelMode(QProcess::MergedChannels);
        QStringList args{"--headless", "--supervised"};
        for (const QString& setting :
             {"prefLocalSourceUploadFolder=" + QString::fromStdString(source()),
              "prefLocalMasterMirrorSiteFolder=" + QString::fromStdString(mirror()),
              "prefOrvURL=" + QString::fromStdString(fServer->url()), QString("userLoginName=kiosk7"),
              QString("userLoginPassword=0012"), QString("userEnteredEventName=Gala"),
              QString("prefAutoStartUploadAtStartup=false"), QString("prefUploadTimeOut=1"),
              QString("prefDoCheckOrders=false")})
            args << "--set" << setting;
        fStation.start(ProgramTestSupport::kBin + "/quon-uploader", args);
        ASSERT_TRUE(fStation.waitForStarted(5000));
        ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}).exitCode == 0; }, 20s)) << output();
        ASSERT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    }
    // The supervised station ends after the watchdog's cut-off, with the supervisor's status.
    void waitForCutOffExit()
    {
        ASSERT_TRUE(fStation.waitForFinished(60000)) << output();
        ASSERT_EQ(fStation.exitCode(), 75) << output();
    }
    ProgramTestSupport::CtlResult ctl(const QStringList& args) { return ProgramTestSupport::runCtl(fEnv, args); }
    std::string output()
    {
        fOutput += fStation.readAll().toStdString();
        return fOutput;
    }
    size_t sendsOfA() const
    {
        size_t n = 0;
        for (const auto& request : fServer->requests())
            n += !request.files.empty() && request.files.front().filename == "IMG_A.jpg";
        return n;
    }

    QProcessEnvironment fEnv;
    QProcess fStation;
    std::unique_ptr<RefServer> fServer;
    std::string fOutput;
};

TEST_F(WatchdogLoopProgramTest, AfterTheSecondCutOffInARowTheRelaunchedStationFilesTheOthersFirst)
{
    photo("Adams/IMG_A.jpg");
    photo("Adams/IMG_B.jpg");

    // The first cut-off: the photo may have met a passing fault, so it goes first again.
    startAndUpload();
    waitForCutOffExit();
    EXPECT_NE(output().find("IMG_A.jpg was cut off by the watchdog (no data moved for 1 seconds)"), std::string::npos)
        << output();
    startAndUpload();
    EXPECT_TRUE(waitFor(
        [&] {
            return output().find("was cut off by the watchdog 1 time(s) in a row before this start; "
                                 "it may be sent now") != std::string::npos;
        },
        10s))
        << output();
    // The second in a row: it waits from now on.
    waitForCutOffExit();
    EXPECT_NE(output().find("IMG_A.jpg was cut off by the watchdog again (2 times in a row"), std::string::npos)
        << output();
    EXPECT_FALSE(fs::exists(mirror() + "/Adams/IMG_B.jpg")) << "B still waits behind A";

    // The third start sends B first, and A only after its pause.
    startAndUpload();
    ASSERT_TRUE(waitFor([&] { return filed("Adams/IMG_B.jpg"); }, 30s)) << output();
    EXPECT_LE(sendsOfA(), 2u) << output();
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_A.jpg"));
    waitForCutOffExit();
    EXPECT_NE(output().find("(3 times in a row"), std::string::npos) << output();
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_A.jpg")) << "never filed, never lost";
    EXPECT_FALSE(fs::exists(mirror() + "/Adams/IMG_A.jpg"));
}
