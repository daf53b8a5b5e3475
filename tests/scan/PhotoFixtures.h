#pragma once

#include "TestSupport.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/ConsoleLog.h"
#include "platform/PlistValue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace PhotoFixtures {

// A block as the station writes it, with text beyond ASCII and beyond the BMP.
inline PlistValue sampleMetaData()
{
    using D = PlistValue::Dictionary;
    return PlistValue::dictionary(D{
        {"Version", PlistValue::string("2.1")},
        {"OriginalPath", PlistValue::string("/Volumes/Station/Originals/2010-09-12/IMG_0042.JPG")},
        {"ZV_emailsForUpload",
         PlistValue::array({PlistValue::string("zoe@example.org"), PlistValue::string("ng@example.net")})},
        {"ZV_kioskStation", PlistValue::string("K-07")},
        {"ZV_muxedMovieName", PlistValue::string("IMG_0042.mov")},
        {"SittingInfoDictionary",
         PlistValue::dictionary(D{{"firstname", PlistValue::string("Zoë")},
                                  {"lastname", PlistValue::string("Ng \xF0\x9F\x93\xB7")},
                                  {"sittingid", PlistValue::string("S-1001")},
                                  {"capturetime", PlistValue::string("2010-09-12 14:33:10")}})},
        {"ZV_quandroInfo",
         PlistValue::dictionary(
             D{{"email", PlistValue::string("zoe@example.org")}, {"mobile", PlistValue::string("+1 555 0100")}})},
    });
}

inline std::string writePhoto(const TestSupport::TempDir& dir, const std::string& name,
                              const PhotoWriter::PhotoSpec& recipe)
{
    const std::string path = dir.file(name);
    std::string error;
    EXPECT_TRUE(PhotoWriter::writePhoto(path, recipe, &error)) << error;
    return path;
}

inline PhotoWriter::PhotoSpec jpegWith(std::optional<PlistValue> metaData)
{
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = std::move(metaData);
    return recipe;
}

inline PhotoWriter::PhotoSpec pngWith(std::optional<PlistValue> metaData)
{
    PhotoWriter::PhotoSpec recipe;
    recipe.format = PhotoWriter::Format::Png;
    recipe.metaData = std::move(metaData);
    return recipe;
}

// Every console log message written while it lives.
using LogLines = TestSupport::LogCapture;

// Size, times and (for files of normal size) content of a regular file, to
// show that reading left it alone. Any write moves the change time.
struct FileState {
    std::string bytes;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileState& other) const
    {
        return bytes == other.bytes && size == other.size && modified.tv_sec == other.modified.tv_sec &&
            modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
            changed.tv_nsec == other.changed.tv_nsec;
    }
};

inline FileState fileState(const std::string& path)
{
    FileState state;
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return state;
    state.size = info.st_size;
    state.modified = info.st_mtim;
    state.changed = info.st_ctim;
    if (info.st_size < 64 * 1024 * 1024)
        state.bytes = TestSupport::readWholeFile(path);
    return state;
}

} // namespace PhotoFixtures
