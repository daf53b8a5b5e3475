#include "upload/MultipartBody.h"

#include "TestSupport.h"

#include <filesystem>
#include <sys/stat.h>

namespace {

std::string patterned(size_t size, int seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) & 0xFF);
    return bytes;
}

std::string dumpOf(const std::string& photo, const std::string& dump)
{
    MultipartBody body;
    body.addField("client", "Smith");
    body.addFilePartHeader("imgfile", "IMG_1.jpg", "image/jpeg");
    std::string error;
    EXPECT_TRUE(body.addFileContents(photo, &error)) << error;
    EXPECT_TRUE(body.writeTo(dump, &error)) << error;
    return "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"client\"\r\n\r\nSmith"
           "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"IMG_1.jpg\"\r\n"
           "Content-Type: image/jpeg\r\n\r\n";
}

void expectOnlyTheDump(const std::string& folder)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++files;
        EXPECT_EQ(entry.path().filename(), "postBodyDataWithImage.txt") << "no temporary file is left";
    }
    EXPECT_EQ(files, 1);
}

} // namespace

TEST(RequestDumpTest, ADumpReplacesTheEarlierOneWholePrivateAndAlone)
{
    TestSupport::TempDir dir;
    const std::string logs = dir.file("Logs");
    std::filesystem::create_directories(logs);
    const std::string dump = logs + "/postBodyDataWithImage.txt";
    // An earlier, larger copy, readable by all.
    TestSupport::createFileWithContents(dump, patterned(3 * 1024 * 1024, 9));
    ::chmod(dump.c_str(), 0644);

    const std::string photo = dir.file("IMG_1.jpg");
    const std::string bytes = patterned(2 * 1024 * 1024 + 17, 1);
    TestSupport::createFileWithContents(photo, bytes);
    const std::string head = dumpOf(photo, dump);
    EXPECT_EQ(TestSupport::readWholeFile(dump), head + bytes);
    struct stat st { };
    ASSERT_EQ(::stat(dump.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the body holds the password";
    expectOnlyTheDump(logs);

    // A smaller photo next: nothing of the earlier copy stays behind.
    TestSupport::createFileWithContents(photo, "tiny");
    const std::string smallHead = dumpOf(photo, dump);
    EXPECT_EQ(TestSupport::readWholeFile(dump), smallHead + "tiny");
    expectOnlyTheDump(logs);
}

TEST(RequestDumpTest, APhotoOnAnotherFileSystemIsCopiedAsWell)
{
    // The kernel's copy works within one file system; across two the bytes
    // go through the program.
    if (!std::filesystem::is_directory("/dev/shm"))
        GTEST_SKIP() << "no second file system to try";
    TestSupport::TempDir dir;
    const std::string photo = "/dev/shm/quon-dump-test-" + std::to_string(::getpid()) + ".jpg";
    const std::string bytes = patterned(600 * 1024 + 3, 5);
    TestSupport::createFileWithContents(photo, bytes);
    const std::string dump = dir.file("postBodyDataWithImage.txt");
    const std::string head = dumpOf(photo, dump);
    ::unlink(photo.c_str());
    EXPECT_EQ(TestSupport::readWholeFile(dump), head + bytes);
}

TEST(RequestDumpTest, APhotoThatShrankFailsTheDumpAndLeavesNoTemporaryFile)
{
    TestSupport::TempDir dir;
    const std::string logs = dir.file("Logs");
    std::filesystem::create_directories(logs);
    const std::string photo = dir.file("IMG_1.jpg");
    TestSupport::createFileWithContents(photo, patterned(100 * 1024, 2));
    MultipartBody body;
    body.addFilePartHeader("imgfile", "IMG_1.jpg", "image/jpeg");
    std::string error;
    ASSERT_TRUE(body.addFileContents(photo, &error)) << error;
    ASSERT_EQ(::truncate(photo.c_str(), 1000), 0);
    EXPECT_FALSE(body.writeTo(logs + "/postBodyDataWithImage.txt", &error));
    EXPECT_NE(error.find("postBodyDataWithImage.txt"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_empty(logs));
}

TEST(RequestDumpTest, AnEarlierCopyWithAnotherNameOrALinkIsReplacedNotWrittenThrough)
{
    TestSupport::TempDir dir;
    const std::string logs = dir.file("Logs");
    std::filesystem::create_directories(logs);
    const std::string dump = logs + "/postBodyDataWithImage.txt";
    const std::string photo = dir.file("IMG_1.jpg");
    const std::string bytes = patterned(700 * 1024, 3);
    TestSupport::createFileWithContents(photo, bytes);

    // The earlier copy has a second name: what that name holds stays.
    const std::string other = dir.file("kept.txt");
    const std::string otherBytes = patterned(900 * 1024, 4);
    TestSupport::createFileWithContents(other, otherBytes);
    ASSERT_EQ(::link(other.c_str(), dump.c_str()), 0);
    std::string head = dumpOf(photo, dump);
    EXPECT_EQ(TestSupport::readWholeFile(dump), head + bytes);
    EXPECT_EQ(TestSupport::readWholeFile(other), otherBytes);
    expectOnlyTheDump(logs);

    // A link under the name: the file it points at stays as it was.
    ASSERT_EQ(::unlink(dump.c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), dump.c_str()), 0);
    head = dumpOf(photo, dump);
    EXPECT_EQ(TestSupport::readWholeFile(dump), head + bytes);
    EXPECT_EQ(TestSupport::readWholeFile(other), otherBytes);
    struct stat st { };
    ASSERT_EQ(::lstat(dump.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    expectOnlyTheDump(logs);
}

TEST(RequestDumpTest, AFolderUnderTheNameStaysAndTheWriteSaysWhy)
{
    TestSupport::TempDir dir;
    const std::string logs = dir.file("Logs");
    const std::string dump = logs + "/postBodyDataWithImage.txt";
    std::filesystem::create_directories(dump + "/inside");
    const std::string photo = dir.file("IMG_1.jpg");
    TestSupport::createFileWithContents(photo, patterned(1000, 6));
    MultipartBody body;
    body.addFilePartHeader("imgfile", "IMG_1.jpg", "image/jpeg");
    std::string error;
    ASSERT_TRUE(body.addFileContents(photo, &error)) << error;
    EXPECT_FALSE(body.writeTo(dump, &error));
    EXPECT_NE(error.find("postBodyDataWithImage.txt"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_directory(dump + "/inside"));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(logs))
        ++entries;
    EXPECT_EQ(entries, 1) << "no temporary file is left";
}
