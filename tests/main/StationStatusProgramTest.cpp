// What a headless station tells its operator and its supervisor: quon-ctl
// status through each state against the reference service, and standard
// output holding nothing but the operator's lines.

#include "ProgramTestSupport.h"
#include "TestSupport.h"
#include "mkphoto/PhotoWriter.h"

#include "RefServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <nlohmann/json.hpp>

using TestSupport::readWholeFile;
using TestSupport::waitFor;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

using ProgramTestSupport::kBin;

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A reply that takes its time.
RefBehaviour delayed(int milliseconds)
{
    RefBehaviour behaviour;
    behaviour.delayMs = milliseconds;
    return behaviour;
}

bool isOperatorLine(const std::string& line)
{
    for (const char* prefix : {"status: ", "progress: ", "alert: ", "filed: "})
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

} // namespace

class StationStatusProgramTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        fEnv = ProgramTestSupport::stationEnvironment(fSandbox);
        fEnv.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("ctl.sock")));
        fs::create_directories(source() + "/Adams");
        fs::create_directories(fSandbox.file("Mirror"));
    }
    void TearDown() override
    {
        if (fUploader.state() != QProcess::NotRunning) {
            fUploader.kill();
            fUploader.waitForFinished(5000);
        }
        if (fServer)
            fServer->stop();
        if (fRefProgram.state() != QProcess::NotRunning) {
            fRefProgram.kill();
            fRefProgram.waitForFinished(5000);
        }
    }

    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }
    std::string problemFolder() const { return fSandbox.file("Problem Folder"); }

    void startServer(int port = 0)
    {
        RefServer::Options options;
        options.root = fSandbox.file("service");
        options.port = port;
        fServer = std::make_unique<RefServer>(options);
        std::string error;
        ASSERT_TRUE(fServer->start(&error)) << error;
        fUrl = fServer->url();
    }

    // A photo as the station writes it (with its block), or without one;
    // moved into place whole.
    void dropPhoto(const std::string& relative, bool withMetaData = true)
    {
        const std::string staging = fSandbox.file("staging.jpg");
        if (withMetaData) {
            PhotoWriter::PhotoSpec recipe;
            recipe.metaData =
                PlistValue::dictionary({{"Version", PlistValue::string("1.0")},
                                        {"OriginalPath", PlistValue::string("/Volumes/Station/Originals/" + relative)},
                                        {"ZV_emailsForUpload", PlistValue::string("adams@example.org")}});
            ASSERT_TRUE(PhotoWriter::writePhoto(staging, recipe));
        } else {
            TestSupport::createFileWithContents(staging, PhotoWriter::plainJpeg());
        }
        fs::rename(staging, source() + "/" + relative);
    }

    void startUploader(const QStringList& extra = {})
    {
        fUploader.setProcessEnvironment(fEnv);
        fUploader.start(kBin + "/quon-uploader",
                        QStringList{"--headless", "--set",
                                    QString::fromStdString("prefLocalSourceUploadFolder=" + source()), "--set",
                                    QString::fromStdString("prefLocalMasterMirrorSiteFolder=" + mirror()), "--set",
                                    QString::fromStdString("prefOrvURL=" + fUrl), "--set", "userLoginName=kiosk7",
                                    "--set", "userLoginPassword=pw", "--set", "userEnteredEventName=Gala", "--set",
                                    "prefUploadMovie=false", "--set", "prefAutoStartUploadAtStartup=false"} +
                            extra);
        ASSERT_TRUE(fUploader.waitForStarted(5000));
        ASSERT_TRUE(waitFor([&] { return ctl({"get", "userLoginName"}).first == 0; }, 20s)) << standardError();
    }

    std::pair<int, std::string> ctl(const QStringList& args)
    {
        const ProgramTestSupport::CtlResult result = ProgramTestSupport::runCtl(fEnv, args);
        return {result.exitCode, result.output};
    }

    // The status as quon-ctl prints it: one line holding one JSON object.
    Json status()
    {
        const auto [exitCode, output] = ctl({"status"});
        fLastStatus = output;
        if (exitCode != 0 || output.empty() || output.back() != '\n' || output.find('\n') != output.size() - 1)
            return Json();
        return Json::parse(output, nullptr, false);
    }
    bool waitForStatus(const std::function<bool(const Json&)>& predicate, std::chrono::seconds deadline = 30s)
    {
        return waitFor(
            [&] {
                const Json json = status();
                return json.is_object() && predicate(json);
            },
            deadline);
    }

    std::string standardOutput()
    {
        fOut += fUploader.readAllStandardOutput().toStdString();
        return fOut;
    }
    std::string standardError()
    {
        fErr += fUploader.readAllStandardError().toStdString();
        return fErr;
    }
    bool saidOnStandardOutput(const std::string& line)
    {
        for (const auto& said : linesOf(standardOutput()))
            if (said == line)
                return true;
        return false;
    }

    // Quits the station and checks that standard output held only the operator's lines.
    void quitAndCheckStandardOutput()
    {
        ctl({"quit"});
        ASSERT_TRUE(fUploader.waitForFinished(15000));
        const std::string out = standardOutput();
        const std::string err = standardError();
        ASSERT_FALSE(out.empty());
        for (const auto& line : linesOf(out))
            EXPECT_TRUE(isOperatorLine(line)) << "not an operator's line on standard output: [" << line << "]";
        // The console log stays on standard error, and the operator's lines stay out of it.
        EXPECT_NE(err.find("applicationWillTerminate: - DONE!"), std::string::npos);
        EXPECT_NE(err.find("got handleTestAEHandler"), std::string::npos);
        for (const auto& line : linesOf(err))
            EXPECT_FALSE(isOperatorLine(line)) << line;
    }

    QProcessEnvironment fEnv;
    QProcess fUploader;
    QProcess fRefProgram;
    std::unique_ptr<RefServer> fServer;
    std::string fUrl;
    std::string fOut;
    std::string fErr;
    std::string fLastStatus;
};

TEST_F(StationStatusProgramTest, IdleUploadingPausedAndAPhotoLeftBehindWithItsReason)
{
    startServer();
    dropPhoto("Adams/IMG_1.jpg");
    dropPhoto("Adams/IMG_2.jpg", false);
    // The service takes its time over the first photo.
    fServer->script({delayed(5000)});
    startUploader();

    Json json = status();
    ASSERT_TRUE(json.is_object()) << fLastStatus;
    EXPECT_EQ(json["state"], "idle");
    EXPECT_TRUE(json["photo"].is_null());
    EXPECT_EQ(json["uploaded"], 0);
    EXPECT_EQ(json["refused"], 0);
    EXPECT_TRUE(json["lastError"].is_null());
    EXPECT_TRUE(json["nextAttempt"].is_null());
    EXPECT_TRUE(json["orderCheck"].is_null()) << "order checks are off";

    EXPECT_EQ(ctl({"upnw"}).second, "ACCEPTED\n");
    const std::string first = source() + "/Adams/IMG_1.jpg";
    ASSERT_TRUE(waitForStatus([&](const Json& j) { return j["state"] == "uploading" && j["photo"] == first; }))
        << fLastStatus;

    // Sent and filed; the next pass leaves the photo without metadata behind, saying why.
    ASSERT_TRUE(waitForStatus([](const Json& j) {
        return j["state"] == "idle" && j["uploaded"] == 1 && j["notReadyCount"] == 1 &&
            j["notReady"][0]["reason"] == "no embedded metadata";
    })) << fLastStatus;
    json = status();
    EXPECT_EQ(json["notReady"],
              Json::parse(R"([{"path":")" + source() + R"(/Adams/IMG_2.jpg","reason":"no embedded metadata"}])"));
    EXPECT_TRUE(json["photo"].is_null());
    EXPECT_TRUE(fs::exists(mirror() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(waitFor(
        [&] { return saidOnStandardOutput("filed: " + first + " -> " + mirror() + "/Adams/IMG_1.jpg (uploaded)"); },
        10s))
        << standardOutput();

    // A pause asked for during an upload takes effect once the photo is filed.
    fServer->script({delayed(4000)});
    dropPhoto("Adams/IMG_3.jpg");
    ctl({"upnw"});
    ASSERT_TRUE(waitForStatus([&](const Json& j) { return j["state"] == "uploading"; })) << fLastStatus;
    EXPECT_EQ(ctl({"paus"}).second, "ACCEPTED\n");
    ASSERT_TRUE(waitForStatus([](const Json& j) { return j["state"] == "paused"; })) << fLastStatus;
    json = status();
    EXPECT_EQ(json["uploaded"], 2);
    EXPECT_TRUE(json["photo"].is_null());

    quitAndCheckStandardOutput();
}

TEST_F(StationStatusProgramTest, WaitingWhileTheServiceIsDownRefusedAndHaltedByAnErrorReply)
{
    // A service that is gone: nothing listens at its address.
    startServer();
    const int port = fServer->port();
    fServer->stop();
    fServer.reset();
    dropPhoto("Adams/IMG_1.jpg");
    startUploader();
    ctl({"upnw"});
    ASSERT_TRUE(waitForStatus([](const Json& j) {
        return j["state"] == "waiting" && j["nextAttempt"].is_string() && j["lastError"].is_string();
    })) << fLastStatus;
    EXPECT_EQ(status()["uploaded"], 0);
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_1.jpg")) << "the photo waits where it was";

    // The service is back: it refuses the first photo, then stops the chain
    // at the second (as often as that is sent).
    startServer(port);
    RefBehaviour refusal;
    refusal.http = 404;
    RefBehaviour error;
    error.status = "ERROR";
    error.message = "Event Gala is closed";
    fServer->script({refusal, error, error, error, error});
    ASSERT_TRUE(waitFor([&] { return fs::exists(problemFolder() + "/Adams/IMG_1.jpg"); }, 90s)) << standardError();
    ASSERT_TRUE(waitForStatus([](const Json& j) { return j["refused"] == 1 && j["state"] == "idle"; })) << fLastStatus;
    dropPhoto("Adams/IMG_2.jpg");
    ctl({"upnw"});
    ASSERT_TRUE(waitForStatus([](const Json& j) { return j["state"] == "halted"; }, 60s)) << fLastStatus;
    const Json json = status();
    EXPECT_EQ(json["refused"], 1);
    EXPECT_EQ(json["uploaded"], 0);
    EXPECT_EQ(json["lastError"], "Event Gala is closed");
    EXPECT_TRUE(json["nextAttempt"].is_null());
    EXPECT_TRUE(fs::exists(problemFolder() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(fs::exists(source() + "/Adams/IMG_2.jpg")) << "an ERROR reply leaves the photo in place";
    EXPECT_TRUE(waitFor(
        [&] {
            return saidOnStandardOutput("filed: " + source() + "/Adams/IMG_1.jpg -> " + problemFolder() +
                                        "/Adams/IMG_1.jpg (refused: HTTP status 404)");
        },
        10s))
        << standardOutput();

    quitAndCheckStandardOutput();
}

TEST_F(StationStatusProgramTest, TheOrderChecksLastAndNextRun)
{
    // The reference service as a program, holding one order.
    const std::string original = fSandbox.file("Originals/IMG_0007.jpg");
    TestSupport::createFileWithContents(original, PhotoWriter::plainJpeg());
    TestSupport::createFileWithContents(
        fSandbox.file("orders.json"),
        R"([{"orderid":"O-7","imageid":"I-7","pictureid":"P-7","localfilelocation":"/Volumes/Station/Originals/IMG_0007.jpg","filename":"IMG_0007.jpg"}])");
    fRefProgram.start(kBin + "/quon-refserver",
                      {"--root", QString::fromStdString(fSandbox.file("service")), "--orders",
                       QString::fromStdString(fSandbox.file("orders.json")), "--quiet"});
    ASSERT_TRUE(fRefProgram.waitForStarted(5000));
    std::string said;
    ASSERT_TRUE(waitFor(
        [&] {
            said += fRefProgram.readAllStandardOutput().toStdString();
            return said.find("listening on ") != std::string::npos && said.find('\n') != std::string::npos;
        },
        10s))
        << said;
    const int port = std::atoi(said.c_str() + said.find("listening on ") + 13);
    fUrl = "http://127.0.0.1:" + std::to_string(port) + "/upload";

    startUploader({"--set", "prefDoCheckOrders=true", "--set",
                   QString::fromStdString("prefOrvHiResAlternatePath1=" + fSandbox.file("Originals")), "--set",
                   "prefSearchPathMethodTag=2"});
    ASSERT_TRUE(waitForStatus(
        [](const Json& j) {
            return j["orderCheck"].is_object() && j["orderCheck"]["lastOutcome"].is_string() &&
                j["orderCheck"]["nextCheck"].is_string();
        },
        60s))
        << fLastStatus;
    const Json check = status()["orderCheck"];
    EXPECT_EQ(check["running"], false);
    EXPECT_EQ(check["lastOutcome"], "1 order: 1 uploaded");
    ASSERT_TRUE(check["lastCheck"].is_string());
    ASSERT_TRUE(check["nextCheck"].is_string()) << "the next check is an hour after the last";
    EXPECT_GT(check["nextCheck"].get<std::string>(), check["lastCheck"].get<std::string>());
    EXPECT_TRUE(fs::exists(fSandbox.file("service/HiRes/O-7/IMG_0007.jpg")));

    quitAndCheckStandardOutput();
}
