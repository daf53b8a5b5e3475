#include "UploadTestSupport.h"

#include "platform/PlistValue.h"
#include "upload/MultipartBody.h"

#include <filesystem>
#include <iterator>
#include <sys/stat.h>

using namespace UploadTesting;

// The request as the web service receives it, compared byte for byte.
class HttpRequestBodyTest : public UploadTest { };

TEST_F(HttpRequestBodyTest, APlainPhotoGoesOutInTheDocumentedLayout)
{
    static const char kBytes[] = "\xFF\xD8\xFF\xE0 photo bytes \r\n--0xKh\0 end";
    const std::string jpeg(kBytes, sizeof kBytes - 1);
    const auto item = itemFor(photo("IMG_0001.jpg", jpeg));
    const auto result = upload(item);

    const std::string expected =
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"username\"\r\n\r\nkiosk7"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"password\"\r\n\r\ns3cret"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"event\"\r\n\r\nGala"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"client\"\r\n\r\nSmith"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"capturetime\"\r\n\r\n2010:09:12 14:33:10"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"metadata\"\r\n\r\n<plist/>"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"fuseaction\"\r\n\r\nupload.upload"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"Submit\"\r\n\r\nUpload"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"IMG_0001.jpg\"\r\n"
        "Content-Type: image/jpeg\r\n\r\n" +
        jpeg + "\r\n--0xKhTmLbOuNdArY--\r\n";
    EXPECT_EQ(onlyBody(), expected);

    const auto request = fServer->requests().at(0);
    EXPECT_EQ(request.contentType, "multipart/form-data; boundary=0xKhTmLbOuNdArY");
    ASSERT_EQ(request.files.size(), 1u);
    EXPECT_EQ(TestSupport::readWholeFile(fSandbox.file("service/") + request.files[0].storedPath), jpeg);

    // The first debug copy ends where the photo's bytes begin; the second adds them.
    const std::string prefix = expected.substr(0, expected.size() - jpeg.size() - closing().size());
    EXPECT_EQ(TestSupport::readWholeFile(logRoot() + "/postBodyData.txt"), prefix);
    EXPECT_EQ(TestSupport::readWholeFile(logRoot() + "/postBodyDataWithImage.txt"), prefix + jpeg);
    for (const char* dump : {"/postBodyData.txt", "/postBodyDataWithImage.txt"}) {
        struct stat st { };
        ASSERT_EQ(::stat((logRoot() + dump).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << dump << " holds the password";
    }

    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpStatusCode, 200);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->edFileName, fSandbox.file("Source/Smith/IMG_0001.jpg")) << "the result copies the item";
    EXPECT_TRUE(item->edFileName.empty()) << "the item is emptied after the post";
    EXPECT_EQ(posts(), (std::vector<std::string>{cNotification_UploadDone, cNotification_UploadSuccess}));
}

TEST_F(HttpRequestBodyTest, TheKioskStationIsTrimmedAndJoinedToTheEvent)
{
    auto item = itemFor(photo("a.jpg", "A"));
    item->edKioskStation = "  K2 \n";
    upload(item);
    const std::string tail = fileHeader("imgfile", "a.jpg", "image/jpeg") + "A" + closing();
    EXPECT_EQ(onlyBody(),
              field("username", "kiosk7") + field("password", "s3cret") + field("event", "Gala_K2") +
                  field("client", "Smith") + field("capturetime", "2010:09:12 14:33:10") +
                  field("metadata", "<plist/>") + field("fuseaction", "upload.upload") + field("Submit", "Upload") +
                  tail);

    UploadItemInfo blank;
    blank.edEventName = "Gala";
    blank.edKioskStation = " \t\r\n ";
    EXPECT_EQ(HttpController::eventNameWithKioskStation(blank), "Gala");
    blank.edKioskStation = "\xC2\xA0K3\xE2\x80\xA8"; // no-break space, line separator
    EXPECT_EQ(HttpController::eventNameWithKioskStation(blank), "Gala_K3");
    blank.edKioskStation = "";
    EXPECT_EQ(HttpController::eventNameWithKioskStation(blank), "Gala");
}

TEST_F(HttpRequestBodyTest, TheConfiguredWr5ActionAddsAccountCodeAndIdsAfterTheEvent)
{
    store().setString(PrefKey::OrvFuseAction, "UPLOAD.WR5");
    auto item = itemFor(photo("a.jpg", "A"));
    item->edOrvFuseAction = "upload.upload"; // the item's own action does not decide
    upload(item);
    EXPECT_EQ(onlyBody(),
              field("username", "kiosk7") + field("password", "s3cret") + field("event", "Gala") +
                  field("account", "kiosk7") + field("code", "S3CRET") + field("ids", "Smith") +
                  field("client", "Smith") + field("capturetime", "2010:09:12 14:33:10") +
                  field("metadata", "<plist/>") + field("fuseaction", "upload.upload") + field("Submit", "Upload") +
                  fileHeader("imgfile", "a.jpg", "image/jpeg") + "A" + closing());

    // An item that says wr5 while the configuration does not gets no extra fields.
    fServer->stop();
    store().setString(PrefKey::OrvFuseAction, "upload.upload");
    RefServer::Options options;
    options.root = fSandbox.file("service2");
    options.keepBodiesUpTo = 1 << 20;
    fServer = std::make_unique<RefServer>(options);
    ASSERT_TRUE(fServer->start());
    store().setString(PrefKey::OrvURL, fServer->url());
    item = itemFor(photo("b.jpg", "B"));
    item->edOrvFuseAction = "upload.wr5";
    upload(item);
    EXPECT_EQ(onlyBody().find("name=\"account\""), std::string::npos);
    EXPECT_NE(onlyBody().find(field("fuseaction", "upload.wr5")), std::string::npos);
}

TEST_F(HttpRequestBodyTest, OptionalFieldsSittingAndContactFieldsComeInTheirOrder)
{
    auto item = itemFor(photo("a.jpg", "A"));
    item->edEmails = ""; // present though empty: still sent
    item->edOriginalPath = "/Volumes/Cam/a.jpg";
    item->edQuandroInfo = PlistValue::dictionary(
        {{"email", PlistValue::string("q@example.com")}, {"mobile", PlistValue::string("555-0100")}});
    item->edSittingInfoDictionary = PlistValue::dictionary({
        {"bgloc", PlistValue::string("Beach")},
        {"firstname", PlistValue::string("Ann")},
        {"lastname", PlistValue::string("Lee")},
        {"zip", PlistValue::string("12345")},
        {"age", PlistValue::integer(7)},
        {"email", PlistValue::string("ann@example.com")},
        {"sittingid", PlistValue::string("S-9")},
        {"imgloc", PlistValue::string("not sent")},
    });
    upload(item);
    EXPECT_EQ(onlyBody(),
              field("username", "kiosk7") + field("password", "s3cret") + field("event", "Gala") +
                  field("client", "Smith") + field("capturetime", "2010:09:12 14:33:10") +
                  field("metadata", "<plist/>") + field("fuseaction", "upload.upload") + field("emails", "") +
                  field("localfilelocation", "/Volumes/Cam/a.jpg") + field("email", "q@example.com") +
                  field("phone", "555-0100") + field("bglocation", "Beach") + field("firstname", "Ann") +
                  field("lastname", "Lee") + field("zip", "12345") + field("age", "7") +
                  field("email", "ann@example.com") + field("sittingid", "S-9") + field("Submit", "Upload") +
                  fileHeader("imgfile", "a.jpg", "image/jpeg") + "A" + closing());
}

TEST_F(HttpRequestBodyTest, PartialSittingAndContactDictionariesAddOnlyTheirKeys)
{
    auto item = itemFor(photo("a.jpg", "A"));
    item->edQuandroInfo = PlistValue::dictionary({{"mobile", PlistValue::string("555-0100")}});
    item->edSittingInfoDictionary = PlistValue::dictionary({{"sittingid", PlistValue::string("S-1")}});
    upload(item);
    EXPECT_EQ(onlyBody(),
              field("username", "kiosk7") + field("password", "s3cret") + field("event", "Gala") +
                  field("client", "Smith") + field("capturetime", "2010:09:12 14:33:10") +
                  field("metadata", "<plist/>") + field("fuseaction", "upload.upload") + field("phone", "555-0100") +
                  field("sittingid", "S-1") + field("Submit", "Upload") + fileHeader("imgfile", "a.jpg", "image/jpeg") +
                  "A" + closing());
}

TEST_F(HttpRequestBodyTest, TheMovieFollowsThePhotoByTheChoiceRules)
{
    const std::string movieBytes = "moov\r\n--0xKhTmLb not quite a delimiter";
    const std::string jpg = photo("clip.jpg", "J");
    TestSupport::createFileWithContents(fSandbox.file("Source/Smith/clip.mov"), "beside");
    TestSupport::createFileWithContents(fSandbox.file("Movies/muxed.mov"), movieBytes);
    const std::string fields = field("username", "kiosk7") + field("password", "s3cret") + field("event", "Gala") +
        field("client", "Smith") + field("capturetime", "2010:09:12 14:33:10") + field("metadata", "<plist/>") +
        field("fuseaction", "upload.upload") + field("Submit", "Upload") +
        fileHeader("imgfile", "clip.jpg", "image/jpeg") + "J";
    auto restartServer = [&](const std::string& root) {
        fServer->stop();
        RefServer::Options options;
        options.root = fSandbox.file(root);
        options.keepBodiesUpTo = 1 << 20;
        fServer = std::make_unique<RefServer>(options);
        ASSERT_TRUE(fServer->start());
        store().setString(PrefKey::OrvURL, fServer->url());
    };

    // The muxed movie wins.
    auto item = itemFor(jpg);
    item->edMuxedMovieName = fSandbox.file("Movies/muxed.mov");
    upload(item);
    EXPECT_EQ(onlyBody(), fields + fileHeader("vidfile", "muxed.mov", "video/quicktime") + movieBytes + closing());
    const auto stored = fServer->requests().at(0).files;
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].storedPath, "Gala/Smith/muxed.mov") << "the movie lies beside its photo";

    // A muxed movie that is missing means no movie, even with one beside the photo.
    store().setBool(PrefKey::UploadMovie, true);
    restartServer("s2");
    item = itemFor(jpg);
    item->edMuxedMovieName = fSandbox.file("Movies/gone.mov");
    upload(item);
    EXPECT_EQ(onlyBody(), fields + closing());

    // Without a muxed movie, the same-named .mov goes when the setting is on...
    restartServer("s3");
    upload(itemFor(jpg));
    EXPECT_EQ(onlyBody(), fields + fileHeader("vidfile", "clip.mov", "video/quicktime") + "beside" + closing());

    // ...and stays home when it is off.
    store().setBool(PrefKey::UploadMovie, false);
    restartServer("s4");
    upload(itemFor(jpg));
    EXPECT_EQ(onlyBody(), fields + closing());
}

TEST_F(HttpRequestBodyTest, ThePhotoContentTypeFollowsItsExtension)
{
    struct Case {
        const char* name;
        const char* type;
    };
    for (const Case c : {Case{"UP.JPG", "image/jpeg"}, Case{"shot.png", "image/png"}, Case{"shot.PnG", "image/png"},
                         Case{"long.jpeg", "image/jpeg"}, Case{"clip.mov", "video/quicktime"},
                         Case{"odd.tif", "image/jpeg"}, Case{"noextension", "image/jpeg"}}) {
        const auto item = itemFor(photo(c.name, "X"));
        const size_t before = fServer->requestCount();
        upload(item);
        ASSERT_EQ(fServer->requestCount(), before + 1);
        const std::string body = fServer->requests().back().rawBody;
        EXPECT_NE(body.find(fileHeader("imgfile", c.name, c.type) + "X" + closing()), std::string::npos) << c.name;
    }
    EXPECT_EQ(HttpController::contentTypeForPath("/a/b.c/photo"), "image/jpeg");
}

// A photo's name must not inject header lines or cut the filename short: it
// is escaped as browsers escape form uploads, and only where it must be.
TEST_F(HttpRequestBodyTest, FileNamesAreEscapedAsBrowsersDoAndOnlyWhereNeeded)
{
    EXPECT_EQ(MultipartBody::escapedFileName("say \"hi\"\r\nX: 1.jpg"), "say %22hi%22%0D%0AX: 1.jpg");
    const std::string plain = "Émile 100% ;a=b 'x'\t\\.jpg";
    EXPECT_EQ(MultipartBody::escapedFileName(plain), plain) << "everything else keeps its bytes";

    // A name with CR LF and a quote, sent end to end.
    const std::string hostile = "IMG \"1\"\r\nX-Injected: yes.jpg";
    const std::string jpeg = "\xFF\xD8 hostile name \xFF\xD9";
    const auto result = upload(itemFor(photo(hostile, jpeg)));
    const std::string escaped = "IMG %221%22%0D%0AX-Injected: yes.jpg";
    const std::string body = onlyBody();
    EXPECT_NE(body.find(fileHeader("imgfile", escaped, "image/jpeg") + jpeg + closing()), std::string::npos) << body;
    EXPECT_EQ(body.find("\r\nX-Injected"), std::string::npos) << "no header line of the name's own";
    const auto request = fServer->requests().at(0);
    EXPECT_EQ(request.operation, "photo upload");
    ASSERT_EQ(request.files.size(), 1u);
    EXPECT_EQ(request.files[0].filename, escaped);
    EXPECT_EQ(request.files[0].contentType, "image/jpeg");
    EXPECT_EQ(TestSupport::readWholeFile(fSandbox.file("service/") + request.files[0].storedPath), jpeg);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->edFileName, fSandbox.file("Source/Smith/" + hostile));

    // A name without those characters goes out exactly as before.
    fServer->script({});
    const auto before = fServer->requestCount();
    upload(itemFor(photo(plain, jpeg)));
    ASSERT_EQ(fServer->requestCount(), before + 1);
    const std::string plainBody = fServer->requests().back().rawBody;
    EXPECT_NE(plainBody.find("\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"" + plain +
                             "\"\r\nContent-Type: image/jpeg\r\n\r\n" + jpeg),
              std::string::npos);
}

// Large photos one after another, each over the debug copies the one before
// left: every byte on the wire and in both copies is this photo's own.
TEST_F(HttpRequestBodyTest, LargePhotosInARowGoOutWholeAndEachLeavesItsOwnCopies)
{
    const std::string head = field("username", "kiosk7") + field("password", "s3cret") + field("event", "Gala") +
        field("client", "Smith") + field("capturetime", "2010:09:12 14:33:10") + field("metadata", "<plist/>") +
        field("fuseaction", "upload.upload") + field("Submit", "Upload");
    const size_t sizes[] = {2 * 1024 * 1024 + 17, 600 * 1024 + 1, 3 * 1024 * 1024 + 5, 2 * 1024 * 1024};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::string bytes(sizes[i], '\0');
        for (size_t k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>((k * 131 + i * 7 + k / 4093) & 0xFF);
        const std::string name = "IMG_" + std::to_string(i) + ".jpg";
        const size_t before = fServer->requestCount();
        const auto result = upload(itemFor(photo(name, bytes)));
        ASSERT_EQ(fServer->requestCount(), before + 1) << name;
        const std::string prefix = head + fileHeader("imgfile", name, "image/jpeg");
        const std::string wire = fServer->requests().back().rawBody;
        EXPECT_EQ(wire.size(), prefix.size() + bytes.size() + closing().size()) << name;
        EXPECT_TRUE(wire == prefix + bytes + closing()) << name << ": the body on the wire differs";
        EXPECT_TRUE(TestSupport::readWholeFile(logRoot() + "/postBodyData.txt") == prefix) << name;
        EXPECT_TRUE(TestSupport::readWholeFile(logRoot() + "/postBodyDataWithImage.txt") == prefix + bytes) << name;
        for (const char* dump : {"/postBodyData.txt", "/postBodyDataWithImage.txt"}) {
            struct stat st { };
            ASSERT_EQ(::stat((logRoot() + dump).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << dump << " holds the password";
        }
        ASSERT_TRUE(result);
        EXPECT_EQ(result->httpOurCustomStatus, "OK") << name;
    }
    for (const auto& entry : std::filesystem::directory_iterator(logRoot())) {
        const std::string leaf = entry.path().filename();
        EXPECT_TRUE(leaf == "postBodyData.txt" || leaf == "postBodyDataWithImage.txt" || entry.is_directory())
            << leaf << " is left behind";
    }
}
