#include "mkphoto/PhotoWriter.h"
#include "scan/PhotoDates.h"
#include "scan/PhotoMetaData.h"

#include "TestSupport.h"

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

// The station may rewrite a photo in place while a pass reads it: the reader
// sees a shorter or different file and must answer "no block" or the block,
// never take the process down.
class PhotoRewriteTest : public SandboxedTest { };

TEST_F(PhotoRewriteTest, ReadersSurviveAPhotoTruncatedAndRewrittenUnderThem)
{
    PhotoWriter::PhotoSpec jpeg;
    jpeg.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/a.jpg")}});
    jpeg.dateTimeOriginal = "2010:09:12 14:33:10";
    PhotoWriter::PhotoSpec png = jpeg;
    png.format = PhotoWriter::Format::Png;
    // A TIFF-shaped file too: the metadata library reads those through a map.
    const std::string tiff = std::string("II*\0\x08\0\0\0", 8) + std::string(1 << 20, '\x01');

    for (const auto& [name, recipe] : {std::pair{"a.jpg", jpeg}, std::pair{"a.png", png}}) {
        const std::string path = fSandbox.file(name);
        ASSERT_TRUE(PhotoWriter::writePhoto(path, recipe));
        const std::string good = TestSupport::readWholeFile(path) + std::string(1 << 20, '\0');
        for (const std::string& contents : {good, tiff}) {
            std::atomic<bool> stop{false};
            std::thread writer([&] {
                for (int i = 0; i < 300 && !stop; ++i) {
                    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
                    ASSERT_GE(fd, 0);
                    const size_t cut = (i * 7919) % contents.size();
                    ASSERT_EQ(::write(fd, contents.data(), cut), static_cast<ssize_t>(cut));
                    ::close(fd);
                }
                stop = true;
            });
            while (!stop) {
                (void)getQuonMetaDataFromPng(path);
                (void)getQuonMetaDataFromJpeg(path);
                (void)GetInternalPictureCaptureDate(path, false);
            }
            writer.join();
        }
    }
}
