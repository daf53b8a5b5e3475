// The station as a process among others: one instance per settings store,
// a store that cannot be saved, leftovers of a killed run, and what a
// relaunched instance inherits from the one it replaces.

#include "ProgramTestSupport.h"
#include "TestSupport.h"
#include "mkphoto/PhotoWriter.h"

#include "RefServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using ProgramTestSupport::kBin;

using ProgramTestSupport::CtlResult;

// The descriptors of a process, one "fd -> target" line each.
std::vector<std::string> descriptorsOf(pid_t pid)
{
    std::vector<std::string> out;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return out;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[512] = {};
        [[maybe_unused]] const ssize_t n =
            ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        out.push_back(std::string(entry->d_name) + " -> " + target);
    }
    ::closedir(dir);
    return out;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

using ProgramTestSupport::processExists;

void setAge(const std::string& path, std::chrono::seconds age)
{
    const std::time_t when = std::time(nullptr) - age.count();
    const utimbuf times{when, when};
    ::utime(path.c_str(), &times);
}

} // namespace

class StationProgramTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        fEnv = ProgramTestSupport::stationEnvironment(fSandbox);
        fEnv.remove("XDG_RUNTIME_DIR");
        fEnv.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("ctl.sock")));
    }
    void TearDown() override
    {
        for (QProcess* process : {&fFirst, &fSecond})
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        // A relaunched instance is no child of ours: end it by its id.
        if (fRelaunched > 0 && processExists(fRelaunched)) {
            ::kill(fRelaunched, SIGKILL);
            waitFor([&] { return !processExists(fRelaunched); }, 5s);
        }
    }

    std::string storePath() const { return fSandbox.file("home/.config/quon-uploader/defaults.plist"); }
    std::string lockPath() const { return fSandbox.file("home/.config/quon-uploader/quon-uploader.lock"); }

    void start(QProcess& process, const QStringList& extra)
    {
        process.setProcessEnvironment(fEnv);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(kBin + "/quon-uploader", QStringList{"--headless"} + extra);
        ASSERT_TRUE(process.waitForStarted(5000));
    }
    // Starts the first station and waits until its command socket answers.
    void startFirst(const QStringList& extra = {})
    {
        start(fFirst, extra);
        ASSERT_TRUE(waitFor(
            [&] {
                return ctl({"get", "userLoginName"}).exitCode == 0;
            },
            20s))
            << fFirst.readAll().toStdString();
    }
    CtlResult ctl(const QStringList& args) { return ProgramTestSupport::runCtl(fEnv, args); }
    // The output of the process so far, kept across calls.
    std::string output(QProcess& process)
    {
        fOutput[&process] += process.readAll().toStdString();
        return fOutput[&process];
    }
    pid_t lockHolder() const { return static_cast<pid_t>(std::atoi(readWholeFile(lockPath()).c_str())); }

    // The fewest descriptors seen over a short while: a worker may hold one
    // for a moment (a settings read, a log line).
    size_t settledDescriptorCount(pid_t pid, std::vector<std::string>* list)
    {
        size_t fewest = SIZE_MAX;
        for (int i = 0; i < 5; ++i) {
            auto now = descriptorsOf(pid);
            if (now.size() < fewest) {
                fewest = now.size();
                *list = now;
            }
            waitFor([] { return false; }, 100ms);
        }
        return fewest;
    }

    QProcessEnvironment fEnv;
    QProcess fFirst;
    QProcess fSecond;
    pid_t fRelaunched = -1;
    std::map<QProcess*, std::string> fOutput;
};

TEST_F(StationProgramTest, ASecondStationOnTheSameSettingsExitsNamingTheFirst)
{
    startFirst({"--set", "userEnteredEventName=First"});
    const auto firstPid = static_cast<pid_t>(fFirst.processId());
    EXPECT_EQ(lockHolder(), firstPid);

    // Its own socket, so nothing but the lock can stop it.
    QProcessEnvironment own = fEnv;
    own.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("second.sock")));
    fSecond.setProcessEnvironment(own);
    fSecond.setProcessChannelMode(QProcess::MergedChannels);
    fSecond.start(kBin + "/quon-uploader", {"--headless", "--set", "userEnteredEventName=Second"});
    ASSERT_TRUE(fSecond.waitForFinished(15000));
    EXPECT_EQ(fSecond.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(fSecond.exitCode(), 1);
    const std::string said = fSecond.readAll().toStdString();
    EXPECT_NE(said.find("another uploader (pid " + std::to_string(firstPid) + ") is already running"),
              std::string::npos)
        << said;
    EXPECT_FALSE(fs::exists(fSandbox.file("second.sock")));
    // Its --set never reached the store.
    EXPECT_EQ(readWholeFile(storePath()).find("Second"), std::string::npos);
    EXPECT_EQ(ctl({"get", "userEnteredEventName"}).output,
              "[\"COMMAND SUCCESS\",[\"getValue\",\"userEnteredEventName\",\"First\"]]\n");

    // Once the first has quit, a station starts again on these settings.
    ctl({"quit"});
    ASSERT_TRUE(fFirst.waitForFinished(15000));
    startFirst();
    EXPECT_EQ(lockHolder(), static_cast<pid_t>(fFirst.processId()));
}

TEST_F(StationProgramTest, AStoreThatCannotBeSavedIsSaidAtStartAndItsWritesFail)
{
    // Root ignores file modes: a file where the store's folder should be stops even root.
    createFileWithContents(fSandbox.file("blocker"), "not a folder");
    startFirst({"--defaults", QString::fromStdString(fSandbox.file("blocker/defaults.plist"))});
    EXPECT_TRUE(waitFor([&] { return output(fFirst).find("Settings cannot be saved") != std::string::npos; }, 10s))
        << output(fFirst);
    EXPECT_NE(output(fFirst).find("status: "), std::string::npos);

    EXPECT_EQ(ctl({"set", "userEnteredEventName", "Gala"}).output, "COMMAND FAILED\n");
    EXPECT_EQ(ctl({"set", "prefSecondsBetweenScans", "90"}).output, "COMMAND FAILED\n");
    EXPECT_EQ(ctl({"quit"}).exitCode, 0);
    EXPECT_TRUE(fFirst.waitForFinished(15000));
}

TEST_F(StationProgramTest, LeftoverTemporaryFilesOfAnEarlierRunAreRemovedAtStart)
{
    const std::string mirror = fSandbox.file("Mirror");
    const std::string configFolder = fs::path(storePath()).parent_path().string();
    const std::vector<std::string> leftovers = {
        configFolder + "/defaults.plist.a1B2c3",
        fSandbox.file("Logs/postBodyData.txt.Xy12Zq"),
        fSandbox.file("Logs/postBodyDataWithImage.txt.9QwErT"),
        fSandbox.file("Logs/Quon/hiresPostBody.txt.aaaaB1"),
        mirror + "/Gala/Smith/.quon-moving-Ab3dEf",
        fSandbox.file("Problem Folder/Gala/.quon-moving-zz9ZZ9"),
        fSandbox.file("home/.data/Trash/files/.quon-moving-Q1w2E3"),
    };
    const std::vector<std::string> kept = {
        configFolder + "/defaults.plist.backup",    // a person's own copy
        fSandbox.file("Logs/postBodyData.txt"),     // the dump itself
        fSandbox.file("Logs/other.txt.a1B2c3"),     // not one of ours
        mirror + "/Gala/Smith/IMG_1.jpg.a1B2c3",    // not a move temporary
        mirror + "/Gala/Smith/.quon-moving-Young1", // changed after the start
    };
    for (const auto& path : leftovers) {
        createFileWithContents(path, "password=secret");
        setAge(path, 3600s);
    }
    for (const auto& path : kept) {
        createFileWithContents(path, "keep");
        setAge(path, 3600s);
    }
    // A copy still being written by someone else is younger than the station.
    setAge(mirror + "/Gala/Smith/.quon-moving-Young1", -3600s);

    startFirst({"--set", "prefLocalMasterMirrorSiteFolder=" + QString::fromStdString(mirror)});
    for (const auto& path : leftovers)
        EXPECT_TRUE(waitFor([&] { return !fs::exists(path); }, 10s)) << path;
    for (const auto& path : kept)
        EXPECT_TRUE(fs::exists(path)) << path;
}

// A hung upload ends in a relaunch; the new station must start with no more
// descriptors than the first had, however often that happens.
TEST_F(StationProgramTest, ARelaunchedStationInheritsNoDescriptors)
{
    RefServer::Options options;
    options.root = fSandbox.file("service");
    RefBehaviour hang;
    hang.hang = true;
    options.defaultBehaviour = hang;
    RefServer server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;

    const std::string source = fSandbox.file("Source");
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/IMG_1.jpg")}});
    fs::create_directories(source + "/Smith");
    ASSERT_TRUE(PhotoWriter::writePhoto(source + "/Smith/IMG_1.jpg", recipe));

    const QStringList settings = {
        "--set", "prefLocalSourceUploadFolder=" + QString::fromStdString(source),
        "--set", "prefLocalMasterMirrorSiteFolder=" + QString::fromStdString(fSandbox.file("Mirror")),
        "--set", "userEnteredEventName=Gala",
        "--set", "userLoginName=kiosk7",
        "--set", "userLoginPassword=pw",
        "--set", "prefOrvURL=" + QString::fromStdString(server.url()),
        "--set", "prefUploadMovie=false",
        "--set", "prefAutoSynchronize=false",
        "--set", "prefAutoStartUploadAtStartup=false",
        "--set", "prefDoCheckOrders=false",
        "--set", "prefUploadTimeOut=1",
    };
    fs::create_directories(fSandbox.file("Mirror"));
    startFirst(settings);
    pid_t current = static_cast<pid_t>(fFirst.processId());
    std::vector<std::string> firstList;
    const size_t firstCount = settledDescriptorCount(current, &firstList);

    for (int round = 1; round <= 2; ++round) {
        EXPECT_EQ(ctl({"upnw"}).output, "ACCEPTED\n");
        // The watchdog gives up on the hung upload and hands over to quon-relaunch.
        ASSERT_TRUE(waitFor([&] { return lockHolder() > 0 && lockHolder() != current; }, 60s))
            << "round " << round << "\n"
            << output(fFirst);
        ASSERT_TRUE(waitFor([&] { return !processExists(current); }, 20s));
        current = lockHolder();
        fRelaunched = current;
        ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}).exitCode == 0; }, 20s));
        std::vector<std::string> list;
        const size_t count = settledDescriptorCount(current, &list);
        EXPECT_LE(count, firstCount) << "round " << round << "\nfirst:\n"
                                     << joined(firstList) << "relaunched:\n"
                                     << joined(list);
    }
    EXPECT_GE(server.requestCount(), 2u);
    ctl({"quit"});
    EXPECT_TRUE(waitFor([&] { return !processExists(current); }, 20s));
    server.stop();
}
