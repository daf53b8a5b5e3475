#include "scan/ExifProbe.h"

#include "PhotoFixtures.h"
#include "TestSupport.h"
#include "scan/PhotoMetaData.h"
#include "scan/RegularFile.h"

#include <filesystem>
#include <map>

using namespace PhotoFixtures;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    std::optional<std::string> block; // the block as described, when there is one
    std::vector<std::string> log;
};

// The reader as the scan calls it for a file it has open (quick look first),
// or the library alone.
Outcome read(const std::string& path, bool quickLook)
{
    TestSupport::LogCapture log;
    std::optional<PlistValue> block;
    if (quickLook) {
        const RegularFile file = RegularFile::open(path);
        block = getQuonMetaDataFromJpeg(path, file);
    } else {
        block = getQuonMetaDataFromJpeg(path);
    }
    return {block ? std::optional<std::string>(block->describe()) : std::nullopt, log.lines()};
}

// Samples: the photos the station writes and the fuzz corpus.
std::map<std::string, std::string> samples(const TestSupport::TempDir& dir)
{
    std::map<std::string, std::string> bytes;
    const auto add = [&](const std::string& name, const PhotoWriter::PhotoSpec& recipe) {
        bytes[name] = TestSupport::readWholeFile(writePhoto(dir, name, recipe));
    };
    add("plain.jpg", jpegWith(std::nullopt));
    PhotoWriter::PhotoSpec dated = jpegWith(std::nullopt);
    dated.dateTimeOriginal = "2026:12:06 10:00:00";
    add("dated.jpg", dated);
    PhotoWriter::PhotoSpec datedBig = dated;
    datedBig.byteOrder = PhotoWriter::ByteOrder::Big;
    add("dated-big.jpg", datedBig);
    add("block.jpg", jpegWith(sampleMetaData()));
    PhotoWriter::PhotoSpec unicode = jpegWith(sampleMetaData());
    unicode.charset = PhotoWriter::CommentCharset::Unicode;
    unicode.byteOrder = PhotoWriter::ByteOrder::Big;
    add("unicode-big.jpg", unicode);
    add("block.png", pngWith(sampleMetaData()));
    add("plain.png", pngWith(std::nullopt));
    for (const char* corpus : {"jpeg_metadata", "png_tail"}) {
        const fs::path folder = fs::path(QUON_SOURCE_DIR) / "tests/fuzz/corpus" / corpus;
        for (const auto& entry : fs::directory_iterator(folder))
            bytes[std::string(corpus) + "-" + entry.path().filename().string()] =
                TestSupport::readWholeFile(entry.path().string());
    }
    return bytes;
}

} // namespace

// The quick look may only answer where the library's full read says the same,
// word for word in the log: over every sample, every sample cut short within
// its headers, and every header byte set to 00 or FF.
TEST(ExifProbe, AnswersOnlyWhatTheLibraryWouldSay)
{
    TestSupport::TempDir dir;
    const std::string path = dir.file("case.jpg");
    size_t cases = 0, answered = 0;
    const auto compare = [&](const std::string& what, const std::string& bytes) {
        TestSupport::createFileWithContents(path, bytes);
        const Outcome library = read(path, false);
        const Outcome quick = read(path, true);
        EXPECT_EQ(quick.block, library.block) << what;
        EXPECT_EQ(quick.log, library.log) << what;
        ++cases;
        answered += ExifProbe::jpegUserComment(RegularFile::open(path)) != ExifProbe::Answer::AskTheLibrary;
    };
    for (const auto& [name, bytes] : samples(dir)) {
        compare(name, bytes);
        if (bytes.compare(0, 2, "\xFF\xD8") != 0)
            continue; // anything else is left to the library at its first bytes
        const size_t headers = std::min<size_t>(bytes.size(), 320);
        for (size_t length = 0; length < headers; length += 5)
            compare(name + " cut at " + std::to_string(length), bytes.substr(0, length));
        for (size_t at = 0; at < headers; ++at) {
            std::string changed = bytes;
            changed[at] = at % 2 ? '\xFF' : '\x00';
            compare(name + " byte " + std::to_string(at) + " changed", changed);
        }
    }
    EXPECT_GT(answered, cases / 10) << "the quick look settles plain photos itself";
}

TEST(ExifProbe, PlainStationPhotosAreSettledWithoutTheLibrary)
{
    TestSupport::TempDir dir;
    PhotoWriter::PhotoSpec dated = jpegWith(std::nullopt);
    dated.dateTimeOriginal = "2026:12:06 10:00:00";
    EXPECT_EQ(ExifProbe::jpegUserComment(RegularFile::open(writePhoto(dir, "dated.jpg", dated))),
              ExifProbe::Answer::NoUserComment);
    EXPECT_EQ(ExifProbe::jpegUserComment(RegularFile::open(writePhoto(dir, "block.jpg", jpegWith(sampleMetaData())))),
              ExifProbe::Answer::AskTheLibrary)
        << "a photo with a user comment is always read by the library";
    EXPECT_EQ(ExifProbe::jpegUserComment(RegularFile::open(writePhoto(dir, "block.png", pngWith(sampleMetaData())))),
              ExifProbe::Answer::AskTheLibrary);
}
