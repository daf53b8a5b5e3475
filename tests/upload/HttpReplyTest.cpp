#include "UploadTestSupport.h"

#include "platform/MacRoman.h"
#include "upload/UploadReply.h"

#include <set>

using namespace UploadTesting;

// How the service's reply becomes the result's keys, each only in its case.
class HttpReplyTest : public UploadTest {
protected:
    std::shared_ptr<UploadResultInfo> uploadAnswered(RefBehaviour behaviour)
    {
        fServer->script({std::move(behaviour)});
        return upload(itemFor(photo("a.jpg", "A")));
    }
    static RefBehaviour body(std::string bytes, int http = 200)
    {
        RefBehaviour b;
        b.body = std::move(bytes);
        b.http = http;
        return b;
    }
};

TEST_F(HttpReplyTest, AnOkReplyFillsStatusMessageAndTheResponse)
{
    const auto result = uploadAnswered(body("<reply><status>OK</status><message>Stored as 4711</message></reply>"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpStatusCode, 200);
    ASSERT_TRUE(result->httpResponse);
    EXPECT_EQ(result->httpResponse->statusCode, 200);
    bool sawType = false;
    for (const auto& [name, value] : result->httpResponse->headerFields)
        sawType = sawType || (name == "Content-Type" && value == "text/xml");
    EXPECT_TRUE(sawType);
    EXPECT_EQ(result->httpReturnData, "<reply><status>OK</status><message>Stored as 4711</message></reply>");
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->httpOurCustomMessage, "Stored as 4711");
    EXPECT_FALSE(result->httpError);
    EXPECT_EQ(posts().back(), cNotification_UploadSuccess);
}

TEST_F(HttpReplyTest, BodiesThatAreNoUsableReplyBecomeFail)
{
    struct Case {
        const char* what;
        std::string bytes;
        bool parserComplains; // else "Not enough data returned..."
    };
    const Case cases[] = {
        {"not XML", "Service temporarily unavailable", true},
        {"empty body", "", true},
        {"broken XML", "<reply><status>OK</status>", true},
        {"one child", "<reply><status>OK</status></reply>", false},
        {"no child", "<reply/>", false},
        {"one child and white space", "<reply>\n  <status>OK</status>\n</reply>", false},
    };
    for (const Case& c : cases) {
        const auto result = uploadAnswered(body(c.bytes));
        ASSERT_TRUE(result) << c.what;
        EXPECT_EQ(result->httpStatusCode, 200) << c.what;
        EXPECT_EQ(result->httpReturnData, c.bytes) << c.what << ": the body is kept, even an empty one";
        EXPECT_EQ(result->httpOurCustomStatus, "FAIL") << c.what;
        ASSERT_TRUE(result->httpOurCustomMessage) << c.what;
        if (c.parserComplains) {
            EXPECT_NE(*result->httpOurCustomMessage, UploadReply::kNotEnoughData) << c.what;
            EXPECT_FALSE(result->httpOurCustomMessage->empty()) << c.what;
        } else {
            EXPECT_EQ(*result->httpOurCustomMessage, "Not enough data returned...") << c.what;
        }
        EXPECT_FALSE(result->httpError) << c.what;
        EXPECT_EQ(posts().back(), cNotification_UploadFail) << c.what;
    }
}

TEST_F(HttpReplyTest, AnErrorStatusKeepsItsCodeWhateverTheBodySays)
{
    const auto result = uploadAnswered(body("<reply><status>OK</status><message>fine</message></reply>", 500));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpStatusCode, 500);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->httpOurCustomMessage, "fine");
    EXPECT_EQ(posts().back(), cNotification_UploadFail);
}

TEST_F(HttpReplyTest, ChildrenAreTakenByPositionAndReadAsTheirWholeText)
{
    const auto result = uploadAnswered(
        body("<?xml version=\"1.0\"?>\n<answer>\n  <code>O<b>K</b></code>\n  <text>see <![CDATA[<this>]]></text>\n"
             "  <imageid>99</imageid>\n</answer>\n"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->httpOurCustomMessage, "see <this>");
}

TEST_F(HttpReplyTest, TheBodyIsDecodedAsMacRoman)
{
    // 0x8E e acute, 0xD2/0xD3 curly quotes, 0xA5 bullet, 0xDB euro, 0xF0 the maker's logo (private use).
    const auto result = uploadAnswered(
        body("<reply><status>Warning</status><message>Caf\x8E \xD2quoted\xD3 \xA5 5\xDB \xF0</message></reply>"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "Warning");
    EXPECT_EQ(result->httpOurCustomMessage,
              "Caf\xC3\xA9 \xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x80\xA2 5\xE2\x82\xAC \xEF\xA3\xBF");
    EXPECT_EQ(posts().back(), cNotification_UploadFail);

    // A UTF-8 declaration does not change how the bytes are read.
    const auto declared =
        uploadAnswered(body("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><s>OK</s><m>\xC3\xA9</m></r>"));
    ASSERT_TRUE(declared);
    EXPECT_EQ(declared->httpOurCustomMessage, "\xE2\x88\x9A\xC2\xA9"); // the two bytes as Mac OS Roman
}

TEST_F(HttpReplyTest, TheNoEmailWarningCountsAsSuccessInAnyCase)
{
    RefBehaviour b;
    b.status = "warning";
    b.message = "no email addresses sent";
    const auto result = uploadAnswered(b);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "warning");
    EXPECT_EQ(posts().back(), cNotification_UploadSuccess);
}

TEST_F(HttpReplyTest, NoServiceGivesATransportErrorAndNoReplyKeys)
{
    fServer->stop();
    const auto result = upload(itemFor(photo("a.jpg", "A")));
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->httpError);
    EXPECT_FALSE(result->httpError->localizedDescription.empty());
    EXPECT_EQ(result->httpError->failingURL, fServer->url());
    EXPECT_FALSE(result->httpStatusCode);
    EXPECT_FALSE(result->httpResponse);
    EXPECT_FALSE(result->httpReturnData);
    EXPECT_FALSE(result->httpOurCustomStatus);
    EXPECT_FALSE(result->httpOurCustomMessage);
    EXPECT_EQ(posts().back(), cNotification_UploadFail);
}

TEST_F(HttpReplyTest, ADroppedConnectionIsATransportError)
{
    RefBehaviour drop;
    drop.drop = true;
    const auto result = uploadAnswered(drop);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->httpError);
    EXPECT_FALSE(result->httpStatusCode);
    EXPECT_FALSE(result->httpReturnData);
    EXPECT_EQ(posts().back(), cNotification_UploadFail);
    // The service records a dropped request once its side is closed, which
    // may come after the client has already seen the connection go.
    ASSERT_TRUE(TestSupport::waitFor([&] { return fServer->requestCount() == 1u; }));
    EXPECT_EQ(fServer->requests()[0].outcome, "dropped");
}

TEST_F(HttpReplyTest, AReplyLongerThanSixteenMebibytesIsRefused)
{
    const size_t cap = 16 * 1024 * 1024;
    RefBehaviour atCap;
    atCap.padTo = cap;
    auto result = uploadAnswered(atCap);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->httpError);
    ASSERT_TRUE(result->httpReturnData);
    EXPECT_EQ(result->httpReturnData->size(), cap);
    EXPECT_EQ(result->httpOurCustomStatus, "OK") << "trailing spaces after the document do not matter";

    RefBehaviour overCap;
    overCap.padTo = cap + 1;
    result = uploadAnswered(overCap);
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->httpError);
    EXPECT_NE(result->httpError->localizedDescription.find("larger than 16 MiB"), std::string::npos)
        << result->httpError->localizedDescription;
    EXPECT_FALSE(result->httpReturnData);
    EXPECT_FALSE(result->httpOurCustomStatus);
    EXPECT_EQ(posts().back(), cNotification_UploadFail);
}

TEST(HttpReplyMacRomanTest, EveryByteDecodesToItsCharacter)
{
    std::string ascii;
    for (int b = 0; b < 0x80; ++b)
        ascii += static_cast<char>(b);
    EXPECT_EQ(MacRoman::toUtf8(ascii), ascii);
    EXPECT_EQ(MacRoman::codePointForHighByte(0x80), U'\u00C4');
    EXPECT_EQ(MacRoman::codePointForHighByte(0xA0), U'\u2020');
    EXPECT_EQ(MacRoman::codePointForHighByte(0xCA), U'\u00A0');
    EXPECT_EQ(MacRoman::codePointForHighByte(0xDB), U'\u20AC');
    EXPECT_EQ(MacRoman::codePointForHighByte(0xDE), U'\uFB01');
    EXPECT_EQ(MacRoman::codePointForHighByte(0xF0), U'\uF8FF');
    EXPECT_EQ(MacRoman::codePointForHighByte(0xFF), U'\u02C7');
    // Every high byte gives one character, and no two give the same one.
    std::set<char32_t> seen;
    for (int b = 0x80; b <= 0xFF; ++b)
        seen.insert(MacRoman::codePointForHighByte(static_cast<unsigned char>(b)));
    EXPECT_EQ(seen.size(), 128u);
    EXPECT_EQ(MacRoman::toUtf8("\xE7\xF5"), "\xC3\x81\xC4\xB1"); // A acute, dotless i
}

// A hostile or broken service must not crash the station: the reply is read
// without recursion, however deep its elements nest.
TEST_F(HttpReplyTest, AReplyNestedFarDeeperThanAnyStackIsRead)
{
    constexpr size_t kDepth = 1'000'000; // millions of frames' worth of recursion
    std::string deep;
    deep.reserve(kDepth * 7 + 16);
    for (size_t i = 0; i < kDepth; ++i)
        deep += "<a>";
    deep += "OK";
    for (size_t i = 0; i < kDepth; ++i)
        deep += "</a>";
    const auto result = uploadAnswered(body("<reply><status>" + deep + "</status><message>Stored</message></reply>"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpStatusCode, 200);
    EXPECT_EQ(result->httpOurCustomStatus, "OK") << "the status is the nested element's whole text";
    EXPECT_EQ(result->httpOurCustomMessage, "Stored");
    EXPECT_EQ(posts().back(), cNotification_UploadSuccess);
}

// Three log lines per child of the root would turn a large reply into
// gigabytes of log: only the first children are logged, the rest counted.
TEST_F(HttpReplyTest, AWideReplyLogsItsFirstChildrenAndCountsTheRest)
{
    std::string wide = "<reply><status>OK</status><message>Stored</message>";
    for (int i = 0; i < 100'000; ++i)
        wide += "<i><imageid>7</imageid></i>";
    wide += "</reply>";
    TestSupport::LogCapture log;
    const auto result = uploadAnswered(body(wide));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->httpOurCustomMessage, "Stored");
    EXPECT_EQ(log.count("===> NSXMLNode child["), 10u);
    EXPECT_EQ(log.count("===> name at child["), 10u);
    EXPECT_EQ(log.count("===> imageid at child["), 10u);
    EXPECT_TRUE(log.contains("===> NSXMLNode child[0] = [OK]"));
    EXPECT_TRUE(log.contains("===> imageid at child[9] = [7]"));
    EXPECT_FALSE(log.contains("child[10]"));
    EXPECT_EQ(log.count("===> 99992 more children of the reply not logged"), 1u);

    // A reply of exactly as many children as are logged needs no summary.
    log.clear();
    std::string ten = "<reply><status>OK</status><message>Stored</message>";
    for (int i = 0; i < 8; ++i)
        ten += "<i/>";
    uploadAnswered(body(ten + "</reply>"));
    EXPECT_EQ(log.count("===> NSXMLNode child["), 10u);
    EXPECT_FALSE(log.contains("more children of the reply"));
}
