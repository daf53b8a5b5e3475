// The source folder becomes unreadable under a running station. Tests run as
// root, whom file modes do not stop, so the station runs without root's file
// capabilities (setpriv); the modes then hold for it as for any operator.

#include "TestSupport.h"
#include "../filing/ChainTestSupport.h"

#include "RefServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <unistd.h>

using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class UnreadableSourceProgramTest : public SandboxedTest {
protected:
    void TearDown() override
    {
        fs::permissions(source(), fs::perms::owner_all, fs::perm_options::add);
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
    int ctl(const QStringList& args)
    {
        QProcess process;
        process.setProcessEnvironment(fEnv);
        process.start(QStringLiteral(QUON_BIN_DIR) + "/quon-ctl", args);
        process.waitForFinished(10000);
        return process.exitCode();
    }
    std::string output()
    {
        fOutput += fStation.readAll().toStdString();
        return fOutput;
    }

    QProcessEnvironment fEnv = QProcessEnvironment::systemEnvironment();
    QProcess fStation;
    std::string fOutput;
    std::unique_ptr<RefServer> fServer;
};

TEST_F(UnreadableSourceProgramTest, TheStationSaysSoAndFilesThePhotosOnceTheFolderIsReadableAgain)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the station without root's file capabilities";
    RefServer::Options options;
    options.root = fSandbox.file("service");
    fServer = std::make_unique<RefServer>(options);
    std::string error;
    ASSERT_TRUE(fServer->start(&error)) << error;
    fs::create_directories(mirror());
    photo("Adams/IMG_1.jpg");

    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"})
        fEnv.insert(name, QString::fromStdString(fSandbox.file(std::string("home/") + name)));
    fEnv.insert("QUON_LOG_ROOT", QString::fromStdString(fSandbox.file("Logs")));
    fEnv.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("ctl.sock")));
    fStation.setProcessEnvironment(fEnv);
    fStation.setProcessChannelMode(QProcess::MergedChannels);
    const QString dropped = "-dac_override,-dac_read_search";
    fStation.start("/usr/bin/setpriv",
                   {"--bounding-set", dropped, "--inh-caps", dropped, "--", QStringLiteral(QUON_BIN_DIR) +
                    "/quon-uploader", "--headless", "--defaults", QString::fromStdString(fSandbox.file("defaults.plist")),
                    "--set", QString::fromStdString("prefLocalSourceUploadFolder=" + source()), "--set",
                    QString::fromStdString("prefLocalMasterMirrorSiteFolder=" + mirror()), "--set",
                    "userLoginName=kiosk7", "--set", "userLoginPassword=pw", "--set", "userEnteredEventName=Gala",
                    "--set", QString::fromStdString("prefOrvURL=" + fServer->url()), "--set",
                    "prefUploadMovie=false", "--set", "prefAutoSynchronize=false"});
    ASSERT_TRUE(fStation.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}) == 0; }, 20s)) << output();
    ctl({"upnw"});
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg"); }, 30s)) << output();

    // The folder turns unreadable with a new photo inside.
    photo("Adams/IMG_2.jpg");
    fs::permissions(source(), fs::perms::none);
    ctl({"upnw"});
    EXPECT_TRUE(waitFor([&] { return output().find("cannot be read") != std::string::npos; }, 20s)) << output();
    EXPECT_NE(output().find("status: "), std::string::npos);
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_2.jpg"));

    fs::permissions(source(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec);
    ctl({"upnw"});
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg"); }, 30s)) << output();
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_2.jpg"));
    EXPECT_EQ(fServer->requestCount(), 2u);
    ctl({"quit"});
    EXPECT_TRUE(fStation.waitForFinished(15000));
}
