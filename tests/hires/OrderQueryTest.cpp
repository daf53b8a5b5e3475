#include "HiResTestSupport.h"
#include "hires/HttpHiResController.h"

#include <filesystem>
#include <httplib.h>
#include <sys/stat.h>

using namespace HiResTesting;
using TestSupport::LogCapture;
using TestSupport::readWholeFile;

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

} // namespace

class OrderQueryTest : public HiResTest {
protected:
    OrderCheckOutcome runQuery()
    {
        HttpHiResController controller;
        controller.setProgressDelegate(fWindow.get());
        OrderQueryInfo info{std::string("kiosk7"), std::string("s3cret")};
        EXPECT_TRUE(controller.doQueryAndUploadHiResWithInfo(info));
        EXPECT_FALSE(info.edUser); // emptied
        return controller.outcome();
    }
    std::string queryBody(const std::string& fuseAction) const
    {
        return field("fuseaction", fuseAction) + field("username", "kiosk7") + field("password", "s3cret");
    }

    RecordingProgress fProgress;
    std::unique_ptr<MaintenanceWindow> fWindow = fProgress.openMaintenanceWindow();
};

TEST_F(OrderQueryTest, AVersion3ReplyLeadsToTheHiResUploadsByteForByte)
{
    const std::string photo = writeImage(altRoot() + "/Event 7/0042/IMG_12.jpg");
    const std::string second = writeImage(altRoot() + "/IMG_13.PNG", true);
    serviceAnswers(3,
                   {{"O-1", "I-1", "P-1", "/Volumes/Shoot/Event%207/0042/IMG_12.jpg", ""},
                    {"O-2", "I-2", "P-2", "/Volumes/Shoot/IMG_99.jpg", ""},
                    {"O-3", "I-3", "P-3", "/Volumes/Shoot/IMG_13.PNG", ""}});

    const OrderCheckOutcome outcome = runQuery();
    EXPECT_EQ(outcome.describe(), "3 orders: 2 uploaded, 1 not found");

    const auto requests = fServer->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].rawBody, queryBody("upload.checkHiResOrders") + closing());
    EXPECT_EQ(requests[1].rawBody,
              field("fuseaction", "upload.uploadHiRes") + field("username", "kiosk7") + field("password", "s3cret") +
                  field("orderid", "O-1") + field("imageid", "I-1") + field("pictureid", "P-1") +
                  filePart("IMG_12.jpg", "image/jpeg", photo) + closing());
    EXPECT_EQ(requests[2].rawBody,
              field("fuseaction", "upload.uploadHiRes") + field("username", "kiosk7") + field("password", "s3cret") +
                  field("orderid", "O-3") + field("imageid", "I-3") + field("pictureid", "P-3") +
                  filePart("IMG_13.PNG", "image/png", second) + closing());
    EXPECT_EQ(requests[0].contentType, "multipart/form-data; boundary=0xKhTmLbOuNdArY");
    EXPECT_EQ(readWholeFile(fSandbox.file("service/HiRes/O-1/IMG_12.jpg")), photo);

    // The debug copies hold the password: private to the operator.
    const std::string dump = logRoot() + "/Quon/hiresPostBody.txt";
    EXPECT_EQ(readWholeFile(dump), queryBody("upload.checkHiResOrders"));
    EXPECT_EQ(modeOf(dump), 0600u);
    EXPECT_EQ(readWholeFile(logRoot() + "/Quon/hiresOrderResponse.txt").substr(0, 8), "<orders>");
    EXPECT_EQ(modeOf(logRoot() + "/Quon/hiresOrderResponse.txt"), 0600u);

    const auto lines = fProgress.lines();
    EXPECT_EQ(fProgress.count("line2: Sending Query to upload.checkHiResOrders"), 1u);
    EXPECT_EQ(fProgress.count("line2: Found 3 Orders..."), 1u);
    EXPECT_EQ(fProgress.count("line2: Looking for Hi Res Item: [/Volumes/Shoot/Event 7/0042/IMG_12.jpg]"), 1u);
    EXPECT_EQ(fProgress.count("line2: Uploading Hi Res Item: [" + altRoot() + "/Event 7/0042/IMG_12.jpg]"), 1u);
}

TEST_F(OrderQueryTest, AVersion4ReplyLeavesMissingIdsOutAndFallsBackOnTheFileName)
{
    UserDefaults::standard().setString(PrefKey::CheckHiResOrderFuseAction, "ORDERS.V4CHECK");
    const std::string photo = writeImage(altRoot() + "/IMG_20.jpg");
    // The second fixed root: beside the programs' folder.
    const std::string fixedRoot = HttpHiResController::fileNameFallbackRoots().at(1);
    const std::string fallback = writeImage(fixedRoot + "/4711/4711_2.jpg");
    struct Cleanup {
        std::string path;
        ~Cleanup() { std::filesystem::remove_all(path); }
    } cleanup{fixedRoot};

    std::string reply = "<answer><image><localfilelocation>/Shoot/IMG_20.jpg</localfilelocation>"
                        "<imageid>I-20</imageid><filename>IMG_20.jpg</filename></image>"
                        "<message>two</message><status>OK</status>"
                        "<image><orderid>O-21</orderid><imageid>I-21</imageid><pictureid>P-21</pictureid>"
                        "<filename>4711_2 copy</filename><localfilelocation></localfilelocation></image>"
                        "<image><orderid>O-22</orderid><filename>4711_2</filename><localfilelocation>/Shoot/IMG_20.jpg"
                        "</localfilelocation></image>"
                        "<image><orderid>O-23</orderid><imageid>I-23</imageid><filename>IMG_20.jpg</filename></image>"
                        "<image><imageid>I-24</imageid><localfilelocation>/Shoot/IMG_404.jpg</localfilelocation>"
                        "<filename>4711_2</filename></image></answer>";
    RefBehaviour answer;
    answer.body = reply;
    fServer->script({answer});

    LogCapture log;
    const OrderCheckOutcome outcome = runQuery();
    EXPECT_EQ(outcome.describe(), "5 orders: 2 uploaded, 1 not found, 2 refused");

    const auto uploads = hiResUploads();
    ASSERT_EQ(uploads.size(), 2u);
    // No orderid and no pictureid: exactly five parts.
    EXPECT_EQ(uploads[0].rawBody,
              field("fuseaction", "upload.uploadHiRes") + field("username", "kiosk7") + field("password", "s3cret") +
                  field("imageid", "I-20") + filePart("IMG_20.jpg", "image/jpeg", photo) + closing());
    EXPECT_EQ(uploads[1].rawBody,
              field("fuseaction", "upload.uploadHiRes") + field("username", "kiosk7") + field("password", "s3cret") +
                  field("orderid", "O-21") + field("imageid", "I-21") + field("pictureid", "P-21") +
                  filePart("4711_2.jpg", "image/jpeg", fallback) + closing());
    EXPECT_EQ(fServer->requests().front().rawBody, queryBody("ORDERS.V4CHECK") + closing());
    EXPECT_TRUE(log.contains("the image has no imageid"));                              // O-22
    EXPECT_TRUE(log.contains("skipped an image without localfilelocation"));            // O-23
    EXPECT_TRUE(log.contains("WARNING => Unable to find item = [/Shoot/IMG_404.jpg]")); // not searched by name
    EXPECT_TRUE(log.contains("httpOurCustomStatus = [OK]"));
    EXPECT_EQ(fProgress.count("line2: Looking for Hi Res Item: [4711/4711_2.jpg]"), 1u);
}

TEST_F(OrderQueryTest, TheFileNameFallbackBuildsItsTryPathFromTheDigits)
{
    EXPECT_EQ(HttpHiResController::fileNameFallbackTryPath("4711_2 copy"), "4711/4711_2.jpg");
    EXPECT_EQ(HttpHiResController::fileNameFallbackTryPath("AB1234_7"), "1234/AB1234_7.jpg");
    EXPECT_EQ(HttpHiResController::fileNameFallbackTryPath("9876543210_1"), "98765432/9876543210_1.jpg");
    EXPECT_EQ(HttpHiResController::fileNameFallbackTryPath("12copy_3"), "12/12.jpg");
    EXPECT_EQ(HttpHiResController::fileNameFallbackTryPath("A1-2B_3.jpg"), "1-2/A1-2B_3.jpg.jpg");
    EXPECT_EQ(HttpHiResController::fileNameFallbackTryPath("portrait"), "portrait.jpg");
    const auto roots = HttpHiResController::fileNameFallbackRoots();
    ASSERT_EQ(roots.size(), 2u);
    EXPECT_EQ(roots[0], "/Applications/QUON OS X Folder v14/MAIN IMAGES FOLDER \xC6\x92");
    EXPECT_EQ(roots[1], std::filesystem::path(QUON_BIN_DIR).parent_path().string() + "/MAIN IMAGES FOLDER \xC6\x92");
}

TEST_F(OrderQueryTest, OnlyImagesBelowTheirSearchRootAreSent)
{
    UserDefaults::standard().setObject(PrefKey::SearchPathMethodTag, PlistValue::integer(3));
    TestSupport::createFileWithContents(altRoot() + "/notes.jpg", "not an image at all");
    std::filesystem::create_directories(fSandbox.file("Shoot/Folder.jpg"));
    const std::string outside = writeImage(fSandbox.file("Elsewhere/secret.jpg"));
    std::filesystem::create_symlink(fSandbox.file("Elsewhere/secret.jpg"), altRoot() + "/linked.jpg");
    std::filesystem::create_symlink(fSandbox.file("Elsewhere"), altRoot() + "/Linked Day");
    const std::string inside = writeImage(altRoot() + "/real.jpg");
    std::filesystem::create_symlink(altRoot() + "/real.jpg", altRoot() + "/alias.jpg");
    serviceAnswers(3,
                   {{"O-1", "I-1", "P-1", "/x/notes.jpg", ""},
                    {"O-2", "I-2", "P-2", fSandbox.file("Shoot/Folder.jpg"), ""},
                    {"O-3", "I-3", "P-3", "/x/linked.jpg", ""},
                    {"O-4", "I-4", "P-4", "/x/secret.jpg", ""},
                    {"O-5", "I-5", "P-5", "/x/alias.jpg", ""}});

    LogCapture log;
    const OrderCheckOutcome outcome = runQuery();
    EXPECT_EQ(outcome.describe(), "5 orders: 1 uploaded, 4 refused");
    EXPECT_EQ(log.count(": not an image file"), 4u);
    EXPECT_TRUE(log.contains("refused to upload " + altRoot() + "/notes.jpg: not an image file"));
    EXPECT_TRUE(log.contains("refused to upload " + fSandbox.file("Shoot/Folder.jpg") + ": not an image file"));
    EXPECT_TRUE(log.contains("refused to upload " + altRoot() + "/linked.jpg: not an image file"));
    EXPECT_TRUE(log.contains("refused to upload " + altRoot() + "/Linked Day/secret.jpg: not an image file"));
    const auto uploads = hiResUploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].field("orderid"), "O-5");
    EXPECT_EQ(readWholeFile(fSandbox.file("service/HiRes/O-5/alias.jpg")), inside);
}

TEST_F(OrderQueryTest, AServiceThatIsDownOrAnswersGarbageIsShownOnce)
{
    RefBehaviour garbage;
    garbage.body = "this is not XML";
    fServer->script({garbage});
    OrderCheckOutcome outcome = runQuery();
    EXPECT_NE(outcome.problem.find("could not be read"), std::string::npos) << outcome.problem;
    EXPECT_EQ(fProgress.count("line2: " + outcome.problem), 1u);

    // A reply nested far deeper than any real one is read without harm.
    RefBehaviour deep;
    std::string nested;
    for (int i = 0; i < 100000; ++i)
        nested += "<a>";
    nested += "busy";
    for (int i = 0; i < 100000; ++i)
        nested += "</a>";
    deep.body = "<orders><status>" + nested + "</status><message>m</message></orders>";
    fServer->script({deep});
    LogCapture log;
    outcome = runQuery();
    EXPECT_EQ(outcome.describe(), "0 orders");
    EXPECT_TRUE(log.contains("httpOurCustomStatus = [busy]"));

    // A reply over 16 MiB is not read.
    RefBehaviour huge;
    huge.padTo = 17 * 1024 * 1024;
    fServer->script({huge});
    outcome = runQuery();
    EXPECT_NE(outcome.problem.find("was not read"), std::string::npos) << outcome.problem;

    const int port = fServer->port();
    fServer->stop();
    UserDefaults::standard().setString(PrefKey::OrvURL, "http://127.0.0.1:" + std::to_string(port) + "/upload");
    outcome = runQuery();
    EXPECT_NE(outcome.problem.find("could not reach the web service"), std::string::npos) << outcome.problem;
    EXPECT_EQ(fProgress.count("line2: " + outcome.problem), 1u);
}

TEST_F(OrderQueryTest, ARepliedStatusOtherThan200IsStillRead)
{
    writeImage(altRoot() + "/IMG_1.jpg");
    RefBehaviour answer;
    answer.http = 500;
    answer.orderVersion = 3;
    answer.orders = std::vector<RefOrder>{{"O-1", "I-1", "P-1", "/a/IMG_1.jpg", ""}};
    RefBehaviour refused;
    refused.status = "FAIL";
    refused.message = "unknown order";
    fServer->script({answer, refused});
    LogCapture log;
    const OrderCheckOutcome outcome = runQuery();
    EXPECT_EQ(outcome.describe(), "1 order: 1 failed to upload");
    EXPECT_TRUE(log.contains("===> info at child[1] = [unknown order]"));
    EXPECT_EQ(hiResUploads().size(), 1u);
}

TEST_F(OrderQueryTest, TheServiceTakesStandingOrdersByAdminRequestAndKeepsTheIds)
{
    UserDefaults::standard().setString(PrefKey::CheckHiResOrderFuseAction, "orders.v4check");
    const std::string photo = writeImage(altRoot() + "/IMG_9.jpg");
    httplib::Client admin("127.0.0.1", fServer->port());
    for (const char* malformed :
         {R"({"orderVersion": 5})", R"({"orderVersion": "4"})", "not json", R"([{"orderid": 7}, 3])"}) {
        const auto refused = admin.Post("/_admin/orders", malformed, "application/json");
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400) << malformed;
    }
    auto posted =
        admin.Post("/_admin/orders",
                   R"({"orderVersion": 4, "orders": [{"orderid": "O-9", "imageid": "I-9", "pictureid": "P-9",)"
                   R"( "localfilelocation": "/Shoot/IMG_9.jpg", "filename": "IMG_9.jpg"}]})",
                   "application/json");
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 200);
    EXPECT_EQ(posted->body, R"({"orders":1})");

    EXPECT_EQ(runQuery().describe(), "1 order: 1 uploaded");
    EXPECT_EQ(readWholeFile(fSandbox.file("service/HiRes/O-9/IMG_9.jpg")), photo);
    EXPECT_EQ(readWholeFile(fSandbox.file("service/HiRes/O-9/IMG_9.jpg.ids.json")),
              "{\"imageid\":\"I-9\",\"orderid\":\"O-9\",\"pictureid\":\"P-9\"}\n");

    posted = admin.Post("/_admin/orders", "[]", "application/json");
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 200);
    EXPECT_EQ(runQuery().describe(), "0 orders");
    EXPECT_EQ(hiResUploads().size(), 1u);
}
