// The programs as cmake --install lays them out under a prefix of the
// operator's choosing: each in its usual place, the unit and the desktop
// entry naming the installed uploader, and an installed uploader that finds
// its factory defaults beside it.

#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <filesystem>

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;
};

Outcome run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env = {})
{
    QProcess process;
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll().toStdString()};
}

} // namespace

TEST(InstalledLayout, EveryPartLandsInItsPlaceAndTheInstalledUploaderFindsItsResources)
{
    const QString cmake = QStandardPaths::findExecutable("cmake");
    ASSERT_FALSE(cmake.isEmpty());
    TestSupport::TempDir sandbox;
    const std::string prefix = sandbox.file("prefix");
    const QString buildDir = QString::fromStdString(fs::path(QUON_BIN_DIR).parent_path().string());
    const Outcome install = run(cmake, {"--install", buildDir, "--prefix", QString::fromStdString(prefix)});
    ASSERT_EQ(install.exitCode, 0) << install.output;

    for (const char* program : {"quon-uploader", "quon-ctl", "quon-relaunch", "quon-refserver", "quon-mkphoto"})
        EXPECT_TRUE(fs::exists(prefix + "/bin/" + program)) << program;
    EXPECT_TRUE(fs::exists(prefix + "/share/quon-uploader/FactoryDefault.plist"));
    EXPECT_TRUE(fs::exists(prefix + "/share/quon-uploader/reveal-folder.sh"));
    const std::string unit = readWholeFile(prefix + "/lib/systemd/user/quon-uploader.service");
    EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/quon-uploader --headless --supervised\n"), std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nRestartForceExitStatus=75\n"), std::string::npos) << unit;
    const std::string entry = readWholeFile(prefix + "/share/applications/quon-uploader.desktop");
    EXPECT_NE(entry.find("\nExec=" + prefix + "/bin/quon-uploader --headless\n"), std::string::npos) << entry;

    const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
    if (!analyze.isEmpty()) {
        const Outcome verify =
            run(analyze, {"verify", QString::fromStdString(prefix + "/lib/systemd/user/quon-uploader.service")});
        EXPECT_EQ(verify.exitCode, 0) << verify.output;
        EXPECT_EQ(verify.output, "") << "the unit is clean";
    }

    // The unit's command, run by hand on an empty home.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(sandbox.file("home")));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(sandbox.file("home/.config")));
    env.insert("XDG_STATE_HOME", QString::fromStdString(sandbox.file("home/.state")));
    env.insert("QUON_SOCKET", QString::fromStdString(sandbox.file("ctl.sock")));
    env.remove("QUON_RESOURCE_DIR");
    fs::create_directories(sandbox.file("home"));
    QProcess station;
    station.setProcessEnvironment(env);
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.start(QString::fromStdString(prefix + "/bin/quon-uploader"), {"--headless", "--supervised"});
    ASSERT_TRUE(station.waitForStarted(5000));
    const QString ctl = QString::fromStdString(prefix + "/bin/quon-ctl");
    Outcome asked;
    EXPECT_TRUE(waitFor(
        [&] {
            asked = run(ctl, {"get", "prefSecondsBetweenScans"}, env);
            return asked.exitCode == 0;
        },
        20s));
    EXPECT_EQ(asked.output, "[\"COMMAND SUCCESS\",[\"getValue\",\"prefSecondsBetweenScans\",\"120.00\"]]\n")
        << "the factory defaults were found";
    EXPECT_EQ(run(ctl, {"quit"}, env).exitCode, 0);
    ASSERT_TRUE(station.waitForFinished(15000));
    EXPECT_EQ(station.exitCode(), 0);
    const std::string said = station.readAll().toStdString();
    EXPECT_NE(said.find("userDefaultsValuesPath = [" + prefix + "/bin/../share/quon-uploader/FactoryDefault.plist]"),
              std::string::npos)
        << said;
}
