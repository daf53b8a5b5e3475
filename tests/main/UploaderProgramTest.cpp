// The programs as an operator uses them: quon-uploader started headless on an
// empty home, driven with quon-ctl, stopped and started again.

#include "ProgramTestSupport.h"
#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <filesystem>

using TestSupport::waitFor;

namespace {

using ProgramTestSupport::kBin;

using ProgramTestSupport::CtlResult;

} // namespace

class UploaderProgramTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        // The run log too stays in the test's own folder, not beside the programs.
        fEnv = ProgramTestSupport::stationEnvironment(fSandbox);
        fEnv.insert("XDG_RUNTIME_DIR", QString::fromStdString(fSandbox.path()));
        fEnv.remove("QUON_SOCKET");
    }
    void TearDown() override
    {
        if (fUploader.state() != QProcess::NotRunning) {
            fUploader.kill();
            fUploader.waitForFinished(5000);
        }
    }

    void startUploader(const QStringList& extra = {})
    {
        fUploader.setProcessEnvironment(fEnv);
        fUploader.setProcessChannelMode(QProcess::MergedChannels);
        fUploader.start(kBin + "/quon-uploader", QStringList{"--headless"} + extra);
        ASSERT_TRUE(fUploader.waitForStarted(5000));
        // Up once the command socket answers.
        ASSERT_TRUE(waitFor(
            [&] {
                return ctl({"get", "userLoginName"}).exitCode == 0;
            },
            std::chrono::seconds(15)))
            << fUploader.readAll().toStdString();
    }
    CtlResult ctl(const QStringList& args) { return ProgramTestSupport::runCtl(fEnv, args); }
    bool waitForExit(int* exitCode)
    {
        const bool ended = waitFor([&] { return fUploader.state() == QProcess::NotRunning; }, std::chrono::seconds(15));
        *exitCode = fUploader.exitStatus() == QProcess::NormalExit ? fUploader.exitCode() : -1;
        return ended;
    }

    QProcessEnvironment fEnv;
    QProcess fUploader;
};

TEST_F(UploaderProgramTest, SettingsSetRemotelySurviveARestart)
{
    EXPECT_EQ(ctl({"upnw"}).exitCode, 2) << "no uploader answers yet";

    startUploader();
    auto set = ctl({"set", "prefSecondsBetweenScans", "90"});
    EXPECT_EQ(set.exitCode, 0);
    EXPECT_EQ(set.output, "COMMAND SUCCESS\n");
    auto get = ctl({"get", "prefSecondsBetweenScans"});
    EXPECT_EQ(get.output, "[\"COMMAND SUCCESS\",[\"getValue\",\"prefSecondsBetweenScans\",\"90.00\"]]\n");
    EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
    EXPECT_EQ(ctl({"pause"}).output, "ACCEPTED\n");

    auto quit = ctl({"quit"});
    EXPECT_EQ(quit.exitCode, 0);
    EXPECT_EQ(quit.output, "");
    int exitCode = -1;
    ASSERT_TRUE(waitForExit(&exitCode));
    EXPECT_EQ(exitCode, 0);
    const std::string log = fUploader.readAll().toStdString();
    EXPECT_NE(log.find("Received kAEQuitApplication"), std::string::npos);
    EXPECT_NE(log.find("applicationWillTerminate: - DONE!"), std::string::npos);
    EXPECT_NE(TestSupport::readWholeFile(fSandbox.file("Logs/quon-uploaderLog.txt")).find("applicationWillTerminate"),
              std::string::npos);

    const std::string store = fSandbox.file("home/.config/quon-uploader/defaults.plist");
    ASSERT_TRUE(std::filesystem::exists(store));
    EXPECT_EQ(std::filesystem::status(store).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    startUploader();
    EXPECT_EQ(ctl({"get", "prefSecondsBetweenScans"}).output,
              "[\"COMMAND SUCCESS\",[\"getValue\",\"prefSecondsBetweenScans\",\"90.00\"]]\n");
}

TEST_F(UploaderProgramTest, ATerminationSignalQuitsCleanly)
{
    startUploader({"--set", "userEnteredEventName=Gala", "--set", "prefAutoSynchronize=false"});
    EXPECT_EQ(ctl({"get", "userEnteredEventName"}).output,
              "[\"COMMAND SUCCESS\",[\"getValue\",\"userEnteredEventName\",\"Gala\"]]\n");
    ::kill(static_cast<pid_t>(fUploader.processId()), SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(waitForExit(&exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(fSandbox.file("quon-uploader.sock")));
}

TEST_F(UploaderProgramTest, ACorruptStoreDoesNotStopTheStation)
{
    const std::string store = fSandbox.file("home/.config/quon-uploader/defaults.plist");
    TestSupport::createFileWithContents(store, "<plist><dict><key>userLoginName</key>");
    startUploader();
    EXPECT_EQ(TestSupport::readWholeFile(store + ".corrupt"), "<plist><dict><key>userLoginName</key>");
    EXPECT_EQ(ctl({"get", "prefSecondsBetweenScans"}).output,
              "[\"COMMAND SUCCESS\",[\"getValue\",\"prefSecondsBetweenScans\",\"120.00\"]]\n")
        << "factory default";
    ctl({"quit"});
    int exitCode = -1;
    EXPECT_TRUE(waitForExit(&exitCode));
}

TEST(UploaderProgram, RefusesUnknownOptions)
{
    QProcess process;
    process.start(kBin + "/quon-uploader", {"--frobnicate"});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_NE(process.exitCode(), 0);
    EXPECT_NE(process.readAllStandardError().toStdString().find("unknown option"), std::string::npos);
}

TEST_F(UploaderProgramTest, SetStoresEachSettingInTheTypeOfItsKey)
{
    startUploader({"--set", "userLoginPassword=0012", "--set", "userEnteredEventName=", "--set",
                   "prefAutoSynchronize=no", "--set", "prefSecondsBetweenScans=90"});
    EXPECT_EQ(ctl({"get", "userLoginPassword"}).output,
              "[\"COMMAND SUCCESS\",[\"getValue\",\"userLoginPassword\",\"0012\"]]\n");
    EXPECT_EQ(ctl({"get", "prefSecondsBetweenScans"}).output,
              "[\"COMMAND SUCCESS\",[\"getValue\",\"prefSecondsBetweenScans\",\"90.00\"]]\n");
    ctl({"quit"});
    int exitCode = -1;
    ASSERT_TRUE(waitForExit(&exitCode));

    const std::string store = TestSupport::readWholeFile(fSandbox.file("home/.config/quon-uploader/defaults.plist"));
    EXPECT_NE(store.find("<key>userLoginPassword</key>\n\t<string>0012</string>"), std::string::npos) << store;
    EXPECT_NE(store.find("<key>userEnteredEventName</key>\n\t<string></string>"), std::string::npos) << store;
    EXPECT_NE(store.find("<key>prefAutoSynchronize</key>\n\t<false/>"), std::string::npos) << store;
    EXPECT_NE(store.find("<key>prefSecondsBetweenScans</key>\n\t<integer>90</integer>"), std::string::npos) << store;
}

TEST_F(UploaderProgramTest, SetRefusesAnUnknownKeyOrABadValueBeforeTouchingTheStore)
{
    struct Case {
        QStringList arguments;
        std::string said;
    };
    const Case cases[] = {
        {{"--set", "userLoginName=kiosk7", "--set", "prefUploadMovi=false"}, "unknown setting \"prefUploadMovi\""},
        {{"--set", "prefUploadMovie=maybe"}, "takes true, false, yes or no, not \"maybe\""},
        {{"--set", "prefSecondsBetweenScans=ninety"}, "takes a number of 0 or more"},
        {{"--set", "=value"}, "--set takes KEY=VALUE"},
    };
    for (const Case& c : cases) {
        QProcess process;
        process.setProcessEnvironment(fEnv);
        process.start(kBin + "/quon-uploader", QStringList{"--headless"} + c.arguments);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 2) << c.said;
        const std::string said = process.readAllStandardError().toStdString();
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
    // The list of what is allowed comes with an unknown key.
    QProcess process;
    process.setProcessEnvironment(fEnv);
    process.start(kBin + "/quon-uploader", {"--set", "nothing=1"});
    ASSERT_TRUE(process.waitForFinished(10000));
    const std::string said = process.readAllStandardError().toStdString();
    EXPECT_NE(said.find("\n  userLoginPassword  (any text (empty clears it))"), std::string::npos) << said;
    EXPECT_NE(said.find("\n  prefUploadMovie  (true, false, yes or no)"), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(fSandbox.file("home/.config/quon-uploader/defaults.plist")))
        << "nothing was stored";
}

TEST(UploaderProgram, BothProgramsTellTheirVersion)
{
    for (const char* program : {"/quon-uploader", "/quon-ctl"}) {
        QProcess process;
        process.start(kBin + program, {"--version"});
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitCode(), 0) << program;
        const std::string said = process.readAllStandardOutput().toStdString();
        EXPECT_EQ(said, std::string(program + 1) + " " + QUON_VERSION_TEXT + "\n");
    }
}
