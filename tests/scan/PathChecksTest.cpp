#include "scan/PathChecks.h"
#include "mkphoto/PhotoWriter.h"

#include "TestSupport.h"

#include <filesystem>

using TestSupport::createFileWithContents;

class PathChecksTest : public SandboxedTest { };

TEST_F(PathChecksTest, ImagesAreKnownByTheirHeaderNotTheirName)
{
    createFileWithContents(fSandbox.file("photo.txt"), PhotoWriter::plainJpeg());
    createFileWithContents(fSandbox.file("photo.jpg"), PhotoWriter::plainPng());
    createFileWithContents(fSandbox.file("gif.bin"), "GIF89a\x01\x00\x01\x00");
    createFileWithContents(fSandbox.file("tiff.cr2"), std::string("II*\0\x08\0\0\0", 8));
    createFileWithContents(fSandbox.file("webp"), std::string("RIFF\x10\0\0\0WEBPVP8 ", 16));
    createFileWithContents(fSandbox.file("heic"),
                           std::string("\0\0\0\x18"
                                       "ftypheic\0\0\0\0",
                                       16));
    EXPECT_TRUE(IsValidImageObject(fSandbox.file("photo.txt")));
    EXPECT_TRUE(IsValidImageObject(fSandbox.file("photo.jpg")));
    EXPECT_TRUE(IsValidImageObject(fSandbox.file("gif.bin")));
    EXPECT_TRUE(IsValidImageObject(fSandbox.file("tiff.cr2")));
    EXPECT_TRUE(IsValidImageObject(fSandbox.file("webp")));
    EXPECT_TRUE(IsValidImageObject(fSandbox.file("heic")));

    createFileWithContents(fSandbox.file("text.jpg"), "hello");
    createFileWithContents(fSandbox.file("empty.jpg"), "");
    createFileWithContents(fSandbox.file("movie.mov"),
                           std::string("\0\0\0\x14"
                                       "ftypqt  ",
                                       12));
    createFileWithContents(fSandbox.file("bm.txt"), "BM is not enough");
    EXPECT_FALSE(IsValidImageObject(fSandbox.file("text.jpg")));
    EXPECT_FALSE(IsValidImageObject(fSandbox.file("empty.jpg")));
    EXPECT_FALSE(IsValidImageObject(fSandbox.file("movie.mov")));
    EXPECT_FALSE(IsValidImageObject(fSandbox.file("bm.txt")));
    EXPECT_FALSE(IsValidImageObject(fSandbox.file("missing.jpg")));
    EXPECT_FALSE(IsValidImageObject(fSandbox.path()));
    EXPECT_FALSE(IsValidImageObject(""));
}

TEST_F(PathChecksTest, CompanionMovieLookup)
{
    const std::string photo = fSandbox.file("IMG_7.jpg");
    EXPECT_FALSE(getMatchingExistingMovieFilePath(photo));
    createFileWithContents(fSandbox.file("IMG_7_muxed.mov"), "m");
    EXPECT_EQ(getMatchingExistingMovieFilePath(photo), fSandbox.file("IMG_7_muxed.mov"));
    createFileWithContents(fSandbox.file("IMG_7.mov"), "m");
    EXPECT_EQ(getMatchingExistingMovieFilePath(photo), fSandbox.file("IMG_7.mov"));
    EXPECT_FALSE(getMatchingExistingMovieFilePath(""));
    // A dot in a folder name is not an extension.
    createFileWithContents(fSandbox.file("v1.2/clip.mov"), "m");
    EXPECT_EQ(getMatchingExistingMovieFilePath(fSandbox.file("v1.2/clip")), fSandbox.file("v1.2/clip.mov"));

    // Any letter case of the extension, under the movie's real name; the base
    // name itself must match exactly. A link is never the movie.
    createFileWithContents(fSandbox.file("cams/IMG_8.MOV"), "m");
    createFileWithContents(fSandbox.file("cams/img_9.mov"), "m");
    createFileWithContents(fSandbox.file("cams/IMG_10_muxed.Mov"), "m");
    std::filesystem::create_symlink(fSandbox.file("cams/IMG_8.MOV"), fSandbox.file("cams/IMG_11.mov"));
    EXPECT_EQ(getMatchingExistingMovieFilePath(fSandbox.file("cams/IMG_8.jpg")), fSandbox.file("cams/IMG_8.MOV"));
    EXPECT_EQ(companionMovieFilePath(fSandbox.file("cams/IMG_8.JPG")), fSandbox.file("cams/IMG_8.MOV"));
    EXPECT_FALSE(companionMovieFilePath(fSandbox.file("cams/IMG_9.jpg")));
    EXPECT_EQ(getMatchingExistingMovieFilePath(fSandbox.file("cams/IMG_10.jpg")),
              fSandbox.file("cams/IMG_10_muxed.Mov"));
    EXPECT_FALSE(companionMovieFilePath(fSandbox.file("cams/IMG_10.jpg"))) << "a muxed movie is not the companion";
    EXPECT_FALSE(getMatchingExistingMovieFilePath(fSandbox.file("cams/IMG_11.jpg")));
}

TEST_F(PathChecksTest, AMuxedMovieNameNamesAFileBesideThePhoto)
{
    EXPECT_EQ(muxedMovieFilePath("/s/Smith/IMG_1.jpg", "IMG_1 muxed.mov"), "/s/Smith/IMG_1 muxed.mov");
    EXPECT_EQ(muxedMovieFilePath("/s/Smith/IMG_1.jpg", "..mov"), "/s/Smith/..mov");
    for (const char* name : {"", ".", "..", "../IMG_1.mov", "/etc/passwd", "Sub/IMG_1.mov", "IMG_1.mov/"})
        EXPECT_FALSE(muxedMovieFilePath("/s/Smith/IMG_1.jpg", name)) << name;
}

TEST_F(PathChecksTest, RootVolumesAndInvisibleItems)
{
    EXPECT_TRUE(isRootVolume("/"));
    EXPECT_TRUE(isRootVolume("/proc")) << "a mount point";
    EXPECT_FALSE(isRootVolume(fSandbox.path()));
    EXPECT_FALSE(isRootVolume(fSandbox.file("missing")));
    EXPECT_FALSE(isRootVolume("relative/path"));
    if (std::filesystem::is_directory("/Volumes")) {
        EXPECT_TRUE(isRootVolume("/Volumes"));
    }

    EXPECT_TRUE(isInvisibleFileAtPath2("/dev"));
    EXPECT_TRUE(isInvisibleFileAtPath2("/proc/"));
    EXPECT_TRUE(isInvisibleFileAtPath2("/home/op/.cache"));
    EXPECT_FALSE(isInvisibleFileAtPath2("/home/op/Photos"));
    EXPECT_FALSE(isInvisibleFileAtPath2("/device"));
}
