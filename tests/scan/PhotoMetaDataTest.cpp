#include "scan/PhotoMetaData.h"
#include "PhotoFixtures.h"
#include "platform/PropertyList.h"
#include "scan/UserCommentText.h"

#include <atomic>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace PhotoFixtures;
using namespace std::string_literals;
using PhotoWriter::ByteOrder;
using PhotoWriter::CommentCharset;

namespace {

std::string xmlOf(const PlistValue& value) { return PropertyList::toXml(value); }

} // namespace

// --- JPEG form -------------------------------------------------------------

class PhotoMetaDataJpegCharset : public SandboxedTest,
                                 public ::testing::WithParamInterface<std::tuple<CommentCharset, ByteOrder>> { };

TEST_P(PhotoMetaDataJpegCharset, ReadsTheBlockWhateverTheCharacterCodeAndByteOrder)
{
    auto recipe = jpegWith(sampleMetaData());
    recipe.charset = std::get<0>(GetParam());
    recipe.byteOrder = std::get<1>(GetParam());
    const std::string path = writePhoto(fSandbox, "photo.jpg", recipe);

    EXPECT_EQ(getQuonMetaDataFromJpeg(path), sampleMetaData());
    // A JPEG has no PNG tail, whatever its name.
    EXPECT_EQ(getQuonMetaDataFromPng(path), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(PhotoMetaData, PhotoMetaDataJpegCharset,
                         ::testing::Combine(::testing::Values(CommentCharset::Ascii, CommentCharset::Unicode,
                                                              CommentCharset::Undefined),
                                            ::testing::Values(ByteOrder::Little, ByteOrder::Big)));

class PhotoMetaDataJpeg : public SandboxedTest {
protected:
    std::string jpegWithComment(const std::string& stored, ByteOrder order = ByteOrder::Little)
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.rawUserComment = stored;
        recipe.byteOrder = order;
        return writePhoto(fSandbox, "comment-" + std::to_string(++fCount) + ".jpg", recipe);
    }
    int fCount = 0;
};

TEST_F(PhotoMetaDataJpeg, UnicodeCommentWithAByteOrderMarkAgainstTheBlock)
{
    // Little-endian text with its mark inside a big-endian Exif block.
    const std::string stored =
        UserCommentText::encode(xmlOf(sampleMetaData()), UserCommentText::Charset::Unicode, false);
    const std::string withMark = stored.substr(0, 8) + "\xFF\xFE"s + stored.substr(8);
    EXPECT_EQ(getQuonMetaDataFromJpeg(jpegWithComment(withMark, ByteOrder::Big)), sampleMetaData());
}

TEST_F(PhotoMetaDataJpeg, EmptyDictionaryCountsAsMetadata)
{
    const std::string path = writePhoto(fSandbox, "empty.jpg", jpegWith(PlistValue::dictionary()));
    const auto read = getQuonMetaDataFromJpeg(path);
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(read->isDictionary());
    EXPECT_TRUE(read->asDictionary()->empty());
}

TEST_F(PhotoMetaDataJpeg, CommentsThatAreNoBlockYieldNothing)
{
    const std::string arrayXml = xmlOf(PlistValue::array({PlistValue::string("a")}));
    const struct {
        const char* what;
        std::string stored;
        const char* message;
    } cases[] = {
        {"plain text", "ASCII\0\0\0Happy birthday, Zoe!"s, "CANNOT create userdata to plistObj???"},
        {"array root", "ASCII\0\0\0"s + arrayXml, "CANNOT create userdata to plistObj???"},
        {"text after the list", "ASCII\0\0\0"s + xmlOf(sampleMetaData()) + "trailing words", "CANNOT create"},
        {"binary list", "\0\0\0\0\0\0\0\0bplist00\xD0\x08\0\0\0\0\0\0\x01\x01"s, "CANNOT create"},
        {"lone surrogate", "UNICODE\0<\x00\x3D\xD8>\x00"s, "could NOT convert userComment"},
        {"JIS", "JIS\0\0\0\0\0"s + xmlOf(sampleMetaData()), "could NOT convert userComment"},
        {"no prefix", xmlOf(sampleMetaData()), "could NOT convert userComment"},
        {"shorter than a prefix", "ASCII"s, "could FIND userComment in EXIF Data"},
        {"nested 4000 deep",
         "ASCII\0\0\0<plist version=\"1.0\"><dict><key>a</key>"s +
             [] {
                 std::string deep;
                 for (int i = 0; i < 4000; ++i)
                     deep += "<array>";
                 for (int i = 0; i < 4000; ++i)
                     deep += "</array>";
                 return deep;
             }() +
             "</dict></plist>",
         "CANNOT create"},
    };
    for (const auto& c : cases) {
        LogLines log;
        EXPECT_EQ(getQuonMetaDataFromJpeg(jpegWithComment(c.stored)), std::nullopt) << c.what;
        EXPECT_TRUE(log.contains(c.message)) << c.what;
    }
}

TEST_F(PhotoMetaDataJpeg, PhotosWithoutExifOrWithoutCommentYieldNothing)
{
    LogLines log;
    const std::string plain = writePhoto(fSandbox, "plain.jpg", jpegWith(std::nullopt));
    EXPECT_EQ(getQuonMetaDataFromJpeg(plain), std::nullopt);
    EXPECT_TRUE(log.contains("getQuonMetaDataFromJpeg => could NOT Find EXIF Data jpgFile = [" + plain + "]"));

    auto dated = jpegWith(std::nullopt);
    dated.dateTimeOriginal = "2010:09:12 14:33:10";
    const std::string datedPath = writePhoto(fSandbox, "dated.jpg", dated);
    EXPECT_EQ(getQuonMetaDataFromJpeg(datedPath), std::nullopt);
    EXPECT_TRUE(log.contains("could FIND userComment in EXIF Data = [" + datedPath + "]"));
}

TEST_F(PhotoMetaDataJpeg, AnyImageWithExifIsReadWhateverItsName)
{
    // A PNG whose Exif block carries the comment, named as a JPEG.
    auto recipe = pngWith(std::nullopt);
    recipe.rawUserComment = "ASCII\0\0\0"s + xmlOf(sampleMetaData());
    const std::string path = writePhoto(fSandbox, "really-a-png.jpg", recipe);
    EXPECT_EQ(getQuonMetaDataFromJpeg(path), sampleMetaData());
}

TEST_F(PhotoMetaDataJpeg, LogsVersionAndThePathWithMacRomanEscapesDecoded)
{
    PlistValue block =
        PlistValue::dictionary({{"Version", PlistValue::string("3")},
                                {"OriginalPath", PlistValue::string("/Volumes/Photo%20Station/Caf%8E%20%A5.jpg")}});
    {
        LogLines log;
        ASSERT_TRUE(getQuonMetaDataFromJpeg(writePhoto(fSandbox, "a.jpg", jpegWith(block))));
        EXPECT_TRUE(log.contains("Found versionString = [3]"));
        EXPECT_TRUE(log.contains("Found pathString = [/Volumes/Photo%20Station/Caf%8E%20%A5.jpg]"));
        EXPECT_TRUE(log.contains("Found pathString = [/Volumes/Photo Station/Caf\xC3\xA9 \xE2\x80\xA2.jpg]"));
        EXPECT_TRUE(log.contains("Dictionary does NOT include ZV_emailsForUpload"));
    }
    block.asDictionary()->at("OriginalPath") = PlistValue::string("/bad%G0escape%2");
    {
        LogLines log;
        ASSERT_TRUE(getQuonMetaDataFromJpeg(writePhoto(fSandbox, "b.jpg", jpegWith(block))));
        EXPECT_TRUE(log.contains("Found pathString = [(null)]"));
    }
    block.asDictionary()->erase("Version");
    {
        LogLines log;
        ASSERT_TRUE(getQuonMetaDataFromJpeg(writePhoto(fSandbox, "c.jpg", jpegWith(block))));
        EXPECT_TRUE(log.contains("Dictionary does NOT include versionString"));
        EXPECT_TRUE(log.contains("Dictionary does NOT include pathString"));
    }
}

// --- PNG form --------------------------------------------------------------

class PhotoMetaDataPng : public SandboxedTest {
protected:
    std::string tail(PhotoWriter::TailPadding padding = PhotoWriter::TailPadding::Nul)
    {
        return PhotoWriter::pngTail(sampleMetaData(), padding).value();
    }
    std::string fileWith(const std::string& name, const std::string& bytes)
    {
        const std::string path = fSandbox.file(name);
        TestSupport::createFileWithContents(path, bytes);
        return path;
    }
};

TEST_F(PhotoMetaDataPng, ReadsTheTailWithNulOrSpacePadding)
{
    for (auto padding : {PhotoWriter::TailPadding::Nul, PhotoWriter::TailPadding::Space}) {
        auto recipe = pngWith(sampleMetaData());
        recipe.padding = padding;
        const std::string path = writePhoto(fSandbox, "photo.png", recipe);
        EXPECT_EQ(getQuonMetaDataFromPng(path), sampleMetaData());
        // The tail is not Exif: the JPEG form finds nothing in it.
        EXPECT_EQ(getQuonMetaDataFromJpeg(path), std::nullopt);
    }
    // Line ends and tabs are padding too.
    std::string xml = xmlOf(sampleMetaData());
    xml += std::string(kQuonPngMetaDataLength - xml.size(), '\n');
    xml[kQuonPngMetaDataLength - 2] = '\t';
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("lines.png", PhotoWriter::plainPng() + xml)), sampleMetaData());
}

TEST_F(PhotoMetaDataPng, ExtensionDecidesAndIgnoresCase)
{
    const std::string bytes = PhotoWriter::plainPng() + tail();
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("PHOTO.PNG", bytes)), sampleMetaData());
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("photo.Png", bytes)), sampleMetaData());

    LogLines log;
    const std::string misnamed = fileWith("photo.jpg", bytes);
    EXPECT_EQ(getQuonMetaDataFromPng(misnamed), std::nullopt);
    EXPECT_TRUE(log.contains("getQuonMetaDataFromPng found that [" + misnamed + "] is NOT a png file..."));
    EXPECT_EQ(getQuonMetaDataFromJpeg(misnamed), std::nullopt);
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("png", bytes)), std::nullopt);
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("photo.png.bak", bytes)), std::nullopt);
}

TEST_F(PhotoMetaDataPng, FilesOf2048BytesHaveNoBlockAndOf2049ReadTheLast2048)
{
    LogLines log;
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("exact.png", tail())), std::nullopt);
    EXPECT_TRUE(
        log.contains("getQuonMetaDataFromPng => File Length is smaller than kQuonPngMetaDataLength = [2048]?????"));
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("short.png", "x")), std::nullopt);
    EXPECT_EQ(getQuonMetaDataFromPng(fileWith("one-more.png", "\xFF" + tail())), sampleMetaData());
}

TEST_F(PhotoMetaDataPng, ForeignOrDamagedTailsYieldNothing)
{
    const std::string png = PhotoWriter::plainPng();
    std::string notUtf8 = tail();
    notUtf8[kQuonPngMetaDataLength - 1] = '\xFF';
    std::string afterTheList = tail();
    afterTheList.replace(kQuonPngMetaDataLength - 10, 5, "junk!");
    std::string inside = tail();
    inside[inside.find("<key>")] = '\0';
    std::string arrayTail = xmlOf(PlistValue::array({PlistValue::string("a")}));
    arrayTail.resize(kQuonPngMetaDataLength, '\0');
    // A block too long for the tail arrives with its beginning cut off.
    std::string tooLong = xmlOf(PlistValue::dictionary({{"OriginalPath", PlistValue::string(std::string(3000, 'p'))}}));
    std::string leadingPadding = std::string(40, '\0') + tail().substr(0, kQuonPngMetaDataLength - 40);

    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"not UTF-8", png + notUtf8},
        {"text after the list", png + afterTheList},
        {"NUL inside the list", png + inside},
        {"array root", png + arrayTail},
        {"cut-off start", png + tooLong},
        {"padding before the list", png + leadingPadding},
        {"only padding", png + std::string(kQuonPngMetaDataLength, '\0')},
        {"image data only",
         [&png] {
             std::string many;
             while (many.size() <= 3 * kQuonPngMetaDataLength)
                 many += png;
             return many;
         }()},
    };
    for (const auto& c : cases) {
        LogLines log;
        EXPECT_EQ(getQuonMetaDataFromPng(fileWith("damaged.png", c.bytes)), std::nullopt) << c.what;
        EXPECT_TRUE(log.contains("getQuonMetaDataFromPng => CANNOT create userdata to plistObj???")) << c.what;
    }
    EXPECT_FALSE(
        PhotoWriter::pngTail(PlistValue::dictionary({{"OriginalPath", PlistValue::string(std::string(3000, 'p'))}}),
                             PhotoWriter::TailPadding::Nul));
}

// --- Hostile files ---------------------------------------------------------

class PhotoMetaDataHostile : public SandboxedTest {
protected:
    // Both readers (and both names) on one path: nothing, no crash, no change.
    void expectNothingAndUnchanged(const std::string& path, const char* what)
    {
        const FileState before = fileState(path);
        EXPECT_EQ(getQuonMetaDataFromPng(path), std::nullopt) << what;
        EXPECT_EQ(getQuonMetaDataFromJpeg(path), std::nullopt) << what;
        EXPECT_TRUE(fileState(path) == before) << what;
    }
};

TEST_F(PhotoMetaDataHostile, MissingDirectoryEmptyFifoAndGarbage)
{
    {
        LogLines log;
        expectNothingAndUnchanged(fSandbox.file("gone.png"), "missing");
        EXPECT_TRUE(log.contains("getQuonMetaDataFromPng cannot open filename: [" + fSandbox.file("gone.png") + "]"));
        EXPECT_TRUE(log.contains("getQuonMetaDataFromJpeg cannot open filename: [" + fSandbox.file("gone.png") + "]"));
    }
    std::filesystem::create_directory(fSandbox.file("folder.png"));
    expectNothingAndUnchanged(fSandbox.file("folder.png"), "directory");

    TestSupport::createFileWithContents(fSandbox.file("empty.png"), "");
    expectNothingAndUnchanged(fSandbox.file("empty.png"), "empty");

    // A FIFO must be refused, not read: reading one would block the scan.
    ASSERT_EQ(::mkfifo(fSandbox.file("pipe.png").c_str(), 0600), 0);
    expectNothingAndUnchanged(fSandbox.file("pipe.png"), "fifo");

    std::mt19937 random(7);
    std::string garbage(20000, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    TestSupport::createFileWithContents(fSandbox.file("garbage.png"), garbage);
    expectNothingAndUnchanged(fSandbox.file("garbage.png"), "garbage");
    // Garbage behind a real JPEG header.
    TestSupport::createFileWithContents(fSandbox.file("header.png"), PhotoWriter::plainJpeg().substr(0, 20) + garbage);
    expectNothingAndUnchanged(fSandbox.file("header.png"), "jpeg header then garbage");
}

TEST_F(PhotoMetaDataHostile, EveryTruncationOfAGoodJpeg)
{
    auto recipe = jpegWith(sampleMetaData());
    recipe.charset = CommentCharset::Unicode;
    recipe.byteOrder = ByteOrder::Big;
    const std::string whole = TestSupport::readWholeFile(writePhoto(fSandbox, "whole.jpg", recipe));
    const std::string path = fSandbox.file("cut.jpg");
    size_t found = 0;
    for (size_t length = 0; length < whole.size(); length += 5) {
        TestSupport::createFileWithContents(path, whole.substr(0, length));
        const FileState before = fileState(path);
        const auto read = getQuonMetaDataFromJpeg(path);
        // Only a cut behind the Exif block can still hold the whole block.
        if (read) {
            EXPECT_EQ(*read, sampleMetaData()) << length;
            ++found;
        }
        EXPECT_TRUE(fileState(path) == before) << length;
    }
    EXPECT_LT(found, whole.size() / 5);
}

TEST_F(PhotoMetaDataHostile, SymbolicLinksAreFollowed)
{
    const std::string png = writePhoto(fSandbox, "real.png", pngWith(sampleMetaData()));
    const std::string jpeg = writePhoto(fSandbox, "real.jpg", jpegWith(sampleMetaData()));
    std::filesystem::create_symlink(png, fSandbox.file("link.png"));
    std::filesystem::create_symlink(jpeg, fSandbox.file("link.jpg"));
    EXPECT_EQ(getQuonMetaDataFromPng(fSandbox.file("link.png")), sampleMetaData());
    EXPECT_EQ(getQuonMetaDataFromJpeg(fSandbox.file("link.jpg")), sampleMetaData());
}

TEST_F(PhotoMetaDataHostile, FourGigabyteSparseFilesAreReadOnlyWhereNeeded)
{
    constexpr off_t kFourGigabytes = 4LL * 1024 * 1024 * 1024;
    const std::string zeros = fSandbox.file("sparse.png");
    TestSupport::createFileWithContents(zeros, "");
    ASSERT_EQ(::truncate(zeros.c_str(), kFourGigabytes), 0);
    expectNothingAndUnchanged(zeros, "sparse zeros");

    // A real block at the end of a huge file: only the tail is touched.
    const std::string withTail = fSandbox.file("sparse-tail.png");
    TestSupport::createFileWithContents(withTail, "");
    ASSERT_EQ(::truncate(withTail.c_str(), kFourGigabytes + 1), 0);
    {
        std::FILE* out = std::fopen(withTail.c_str(), "ab");
        ASSERT_NE(out, nullptr);
        const std::string block = PhotoWriter::pngTail(sampleMetaData(), PhotoWriter::TailPadding::Space).value();
        std::fwrite(block.data(), 1, block.size(), out);
        std::fclose(out);
    }
    const FileState before = fileState(withTail);
    EXPECT_EQ(getQuonMetaDataFromPng(withTail), sampleMetaData());
    EXPECT_EQ(getQuonMetaDataFromJpeg(withTail), std::nullopt);
    EXPECT_TRUE(fileState(withTail) == before);
}

TEST_F(PhotoMetaDataHostile, MutatedCopiesOfGoodPhotosNeverCrashOrChange)
{
    auto unicode = jpegWith(sampleMetaData());
    unicode.charset = CommentCharset::Unicode;
    unicode.byteOrder = ByteOrder::Big;
    unicode.dateTimeOriginal = "2010:09:12 14:33:10";
    auto pngExif = pngWith(sampleMetaData());
    pngExif.rawUserComment = "ASCII\0\0\0"s + xmlOf(sampleMetaData());
    const std::vector<std::pair<std::string, std::string>> originals = {
        {"jpg", TestSupport::readWholeFile(writePhoto(fSandbox, "a.jpg", jpegWith(sampleMetaData())))},
        {"jpg", TestSupport::readWholeFile(writePhoto(fSandbox, "b.jpg", unicode))},
        {"png", TestSupport::readWholeFile(writePhoto(fSandbox, "c.png", pngWith(sampleMetaData())))},
        {"png", TestSupport::readWholeFile(writePhoto(fSandbox, "d.png", pngExif))},
    };
    std::mt19937 random(20100912);
    auto below = [&random](size_t n) { return n == 0 ? 0 : static_cast<size_t>(random() % n); };
    for (int round = 0; round < 400; ++round) {
        const auto& [extension, original] = originals[below(originals.size())];
        std::string bytes = original;
        switch (below(5)) {
            case 0: // cut anywhere
                bytes.resize(below(bytes.size()));
                break;
            case 1: // a few flipped bytes, mostly inside the metadata
                for (size_t k = 0, n = 1 + below(8); k < n; ++k) {
                    const size_t at = extension == "jpg" ? below(std::min<size_t>(bytes.size(), 4000))
                                                         : bytes.size() - 1 - below(kQuonPngMetaDataLength + 200);
                    bytes[at] = static_cast<char>(random());
                }
                break;
            case 2: // a run of random bytes
                for (size_t at = below(bytes.size()), n = below(64); n > 0 && at < bytes.size(); --n, ++at)
                    bytes[at] = static_cast<char>(random());
                break;
            case 3: // bytes inserted, shifting everything behind them
                bytes.insert(below(bytes.size()), std::string(1 + below(16), static_cast<char>(random())));
                break;
            default: // lengths and offsets made huge
                for (size_t k = 0; k < 4; ++k)
                    bytes[below(std::min<size_t>(bytes.size(), 600))] = '\xFF';
                break;
        }
        const std::string path = fSandbox.file("mutant-" + std::to_string(round % 8) + "." + extension);
        TestSupport::createFileWithContents(path, bytes);
        const FileState before = fileState(path);
        const auto png = getQuonMetaDataFromPng(path);
        const auto jpeg = getQuonMetaDataFromJpeg(path);
        // Whatever survives the damage is still a dictionary.
        EXPECT_TRUE(!png || png->isDictionary());
        EXPECT_TRUE(!jpeg || jpeg->isDictionary());
        ASSERT_TRUE(fileState(path) == before) << "round " << round;
    }
}

TEST_F(PhotoMetaDataHostile, ReadersRunOnManyThreadsAtOnce)
{
    auto unicode = jpegWith(sampleMetaData());
    unicode.charset = CommentCharset::Unicode;
    const std::string jpeg = writePhoto(fSandbox, "t.jpg", unicode);
    const std::string png = writePhoto(fSandbox, "t.png", pngWith(sampleMetaData()));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                good += getQuonMetaDataFromJpeg(jpeg) == sampleMetaData();
                good += getQuonMetaDataFromPng(png) == sampleMetaData();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), 4 * 40 * 2);
}
