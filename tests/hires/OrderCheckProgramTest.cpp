// The order check as a station's operator meets it: quon-uploader started
// headless with the checks on, the reference service holding an order.

#include "../main/ProgramTestSupport.h"
#include "TestSupport.h"
#include "mkphoto/PhotoWriter.h"

#include "RefServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>

using TestSupport::readWholeFile;
using TestSupport::waitFor;

class OrderCheckProgramTest : public SandboxedTest { };

TEST_F(OrderCheckProgramTest, AnOrderedPhotoArrivesShortlyAfterLaunch)
{
    RefServer::Options options;
    options.root = fSandbox.file("service");
    options.orders = {{"O-7", "I-7", "P-7", "/Volumes/Station/Originals/IMG_0007.jpg", "IMG_0007.jpg"}};
    RefServer server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    const std::string original = fSandbox.file("Originals/IMG_0007.jpg");
    TestSupport::createFileWithContents(original, PhotoWriter::plainJpeg());

    QProcessEnvironment env = ProgramTestSupport::stationEnvironment(fSandbox);
    env.insert("QUON_SOCKET", QString::fromStdString(fSandbox.file("uploader.sock")));
    QProcess uploader;
    uploader.setProcessEnvironment(env);
    uploader.setProcessChannelMode(QProcess::MergedChannels);
    uploader.start(QStringLiteral(QUON_BIN_DIR) + "/quon-uploader",
                   {"--headless", "--set", "prefDoCheckOrders=true", "--set", "userLoginName=kiosk7", "--set",
                    "userLoginPassword=pw", "--set", QString::fromStdString("prefOrvURL=" + server.url()), "--set",
                    QString::fromStdString("prefOrvHiResAlternatePath1=" + fSandbox.file("Originals")), "--set",
                    "prefSearchPathMethodTag=2"});
    ASSERT_TRUE(uploader.waitForStarted(5000));
    std::string output;
    const bool arrived = waitFor(
        [&] {
            output += uploader.readAll().toStdString();
            // The next check is armed on the main thread after the worker's last line.
            return std::filesystem::exists(fSandbox.file("service/HiRes/O-7/IMG_0007.jpg")) &&
                output.find(" line 2: Done: ") != std::string::npos &&
                output.find("FloatValue for getPrefMinutesForCheckOrders is: ") != std::string::npos;
        },
        std::chrono::seconds(60));
    uploader.terminate();
    uploader.waitForFinished(15000);
    output += uploader.readAll().toStdString();
    ASSERT_TRUE(arrived) << output;
    EXPECT_EQ(readWholeFile(fSandbox.file("service/HiRes/O-7/IMG_0007.jpg")), PhotoWriter::plainJpeg());
    EXPECT_NE(output.find(" title: Check Orders for Hi Res Photos"), std::string::npos);
    EXPECT_NE(output.find(" line 2: Sending Query to upload.checkHiResOrders"), std::string::npos);
    EXPECT_NE(output.find(" line 2: Done: 1 order: 1 uploaded"), std::string::npos) << output;
    EXPECT_NE(output.find("FloatValue for getPrefMinutesForCheckOrders is: [3600.00]"), std::string::npos);
}
