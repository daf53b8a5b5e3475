#include "scan/WholePhoto.h"
#include "mkphoto/PhotoWriter.h"
#include "scan/RegularFile.h"

#include "TestSupport.h"

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using Format = WholePhoto::Format;

class WholePhotoTest : public SandboxedTest {
protected:
    WholePhoto::Verdict verdictFor(const std::string& bytes)
    {
        const std::string path = fSandbox.file("photo");
        createFileWithContents(path, bytes);
        return WholePhoto::check(RegularFile::open(path));
    }
    std::string jpegWithBlock()
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/IMG_1.jpg")}});
        EXPECT_TRUE(PhotoWriter::writePhoto(fSandbox.file("source.jpg"), recipe));
        return readWholeFile(fSandbox.file("source.jpg"));
    }
};

TEST_F(WholePhotoTest, AJpegIsWholeOnlyWithItsEndOfImageMarker)
{
    const std::string whole = jpegWithBlock();
    ASSERT_EQ(whole.substr(whole.size() - 2), "\xFF\xD9");
    EXPECT_EQ(verdictFor(whole).format, Format::Jpeg);
    EXPECT_TRUE(verdictFor(whole).endsWhole);
    // Cut anywhere, as a copy still under way is, it is not whole; the block
    // at its start is complete long before the image is.
    for (size_t length = 0; length < whole.size(); ++length)
        EXPECT_FALSE(verdictFor(whole.substr(0, length)).endsWhole) << "cut at " << length << " of " << whole.size();

    // Zero bytes after the marker are padding.
    EXPECT_TRUE(verdictFor(whole + std::string(4096, '\0')).endsWhole);
    // Space reserved for more than a photo's padding is not.
    EXPECT_FALSE(verdictFor(whole + std::string((1 << 20) + 1, '\0')).endsWhole);
    // Data a camera appends after the image: not whole by its bytes.
    EXPECT_FALSE(verdictFor(whole + "MakerTrailer").endsWhole);
}

TEST_F(WholePhotoTest, AThumbnailsEndMarkerIsNotTheImagesEnd)
{
    // An Exif segment whose embedded thumbnail ends with FF D9, then the image.
    const std::string plain = PhotoWriter::plainJpeg();
    const std::string thumbnail = std::string("Exif\0\0", 6) + plain;
    const size_t length = thumbnail.size() + 2;
    std::string app1 = "\xFF\xE1";
    app1 += static_cast<char>(length >> 8);
    app1 += static_cast<char>(length & 0xFF);
    app1 += thumbnail;
    const std::string whole = plain.substr(0, 2) + app1 + plain.substr(2);
    ASSERT_TRUE(verdictFor(whole).endsWhole);
    // Written as far as the thumbnail's end: the file ends with FF D9, yet the image has not begun.
    const std::string cut = plain.substr(0, 2) + app1;
    ASSERT_EQ(cut.substr(cut.size() - 2), "\xFF\xD9");
    EXPECT_FALSE(verdictFor(cut).endsWhole);
    // The same with zeros where the rest will go (space reserved up front).
    EXPECT_FALSE(verdictFor(cut + std::string(whole.size() - cut.size(), '\0')).endsWhole);
}

TEST_F(WholePhotoTest, APngIsWholeWithItsEndChunk)
{
    const std::string png = PhotoWriter::plainPng();
    EXPECT_EQ(verdictFor(png).format, Format::Png);
    EXPECT_TRUE(verdictFor(png).endsWhole);
    for (size_t length = 0; length < png.size(); ++length)
        EXPECT_FALSE(verdictFor(png.substr(0, length)).endsWhole) << "cut at " << length;
    // The metadata tail comes after the end chunk; the scan takes a readable
    // tail as the sign of a whole PNG.
    PhotoWriter::PhotoSpec recipe;
    recipe.format = PhotoWriter::Format::Png;
    recipe.metaData = PlistValue::dictionary();
    ASSERT_TRUE(PhotoWriter::writePhoto(fSandbox.file("tail.png"), recipe));
    EXPECT_FALSE(verdictFor(readWholeFile(fSandbox.file("tail.png"))).endsWhole);
}

TEST_F(WholePhotoTest, OtherFilesHaveNoKnownEnding)
{
    const std::string tiff("II*\0 a tiff", 11);
    EXPECT_EQ(verdictFor(tiff).format, Format::Other);
    EXPECT_FALSE(verdictFor(tiff).endsWhole);
    EXPECT_EQ(verdictFor("").format, Format::Other);
    EXPECT_FALSE(WholePhoto::check(RegularFile::open(fSandbox.file("missing"))).endsWhole);
}
