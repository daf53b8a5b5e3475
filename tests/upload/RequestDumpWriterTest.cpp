#include "upload/MultipartBody.h"
#include "upload/RequestDumpWriter.h"

#include "TestSupport.h"

#include <filesystem>

namespace {

const std::string kText = "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"client\"\r\n\r\nSmith"
                          "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; "
                          "filename=\"IMG_1.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n";

std::string photoBytes()
{
    std::string bytes(300 * 1024 + 5, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7) & 0xFF);
    return bytes;
}

} // namespace

// The copies are snapshots: what the body gains after one is taken (the
// closing delimiter) is not in it, and each is whole once finish() returns.
TEST(RequestDumpWriterTest, CopiesAreTheBodyAsItWasAndDoneWhenFinished)
{
    TestSupport::TempDir dir;
    const std::string photo = dir.file("IMG_1.jpg");
    const std::string bytes = photoBytes();
    TestSupport::createFileWithContents(photo, bytes);
    RequestDumpWriter writer;
    for (int round = 0; round < 3; ++round) {
        MultipartBody body;
        body.addField("client", "Smith");
        body.addFilePartHeader("imgfile", "IMG_1.jpg", "image/jpeg");
        std::vector<RequestDumpWriter::Copy> copies;
        copies.push_back({body.snapshot(), dir.file("postBodyData.txt")});
        std::string error;
        ASSERT_TRUE(body.addFileContents(photo, &error)) << error;
        copies.push_back({body.snapshot(), dir.file("postBodyDataWithImage.txt")});
        ASSERT_TRUE(writer.start(copies));
        EXPECT_FALSE(writer.start(copies)) << "one request's copies at a time";
        body.close();
        // The body is read out meanwhile, as the transfer does.
        std::string sent(body.size(), '\0');
        EXPECT_EQ(body.read(sent.data(), sent.size()), sent.size()) << "one read fills what fits, across parts";
        EXPECT_EQ(sent, kText + bytes + "\r\n--0xKhTmLbOuNdArY--\r\n");
        EXPECT_TRUE(writer.finish().empty());
        EXPECT_EQ(TestSupport::readWholeFile(dir.file("postBodyData.txt")), kText);
        EXPECT_EQ(TestSupport::readWholeFile(dir.file("postBodyDataWithImage.txt")), kText + bytes);
    }
}

TEST(RequestDumpWriterTest, ACopyThatCannotBeWrittenSaysWhy)
{
    TestSupport::TempDir dir;
    MultipartBody body;
    body.addField("client", "Smith");
    RequestDumpWriter writer;
    ASSERT_TRUE(writer.start({{body.snapshot(), dir.file("missing/postBodyData.txt")},
                              {body.snapshot(), dir.file("postBodyDataWithImage.txt")}}));
    const std::vector<std::string> errors = writer.finish();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find("postBodyData.txt"), std::string::npos) << errors.front();
    EXPECT_TRUE(std::filesystem::exists(dir.file("postBodyDataWithImage.txt")));
    EXPECT_TRUE(writer.start({})) << "finished copies free the writer";
    EXPECT_TRUE(writer.finish().empty());
}
