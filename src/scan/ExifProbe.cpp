#include "scan/ExifProbe.h"

#include "scan/RegularFile.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr uint16_t kExifIfdPointer = 0x8769;
constexpr uint16_t kUserComment = 0x9286;
// The library reads no directory with more entries than this.
constexpr unsigned kMaxEntries = 256;

struct Tiff {
    const unsigned char* bytes;
    size_t size;
    bool bigEndian;

    bool has(size_t offset, size_t length) const { return offset <= size && length <= size - offset; }
    uint16_t u16(size_t at) const
    {
        return bigEndian ? static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1])
                         : static_cast<uint16_t>(bytes[at + 1] << 8 | bytes[at]);
    }
    uint32_t u32(size_t at) const
    {
        return bigEndian ? (uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
                            bytes[at + 3])
                         : (uint32_t(bytes[at + 3]) << 24 | uint32_t(bytes[at + 2]) << 16 |
                            uint32_t(bytes[at + 1]) << 8 | bytes[at]);
    }
    // The directory's entry count, when the whole directory lies inside.
    bool directory(size_t offset, unsigned& count) const
    {
        if (!has(offset, 2))
            return false;
        count = u16(offset);
        return count >= 1 && count <= kMaxEntries && has(offset + 2, 12 * size_t(count));
    }
};

// The Exif block (after "Exif\0\0"): NoUserComment when its first directory
// points, once and plainly, at an Exif directory without a user comment.
ExifProbe::Answer probeTiff(const std::string& block)
{
    using ExifProbe::Answer;
    if (block.size() < 8)
        return Answer::AskTheLibrary;
    Tiff tiff{reinterpret_cast<const unsigned char*>(block.data()), block.size(), false};
    if (block.compare(0, 4, "II*\0", 4) == 0)
        tiff.bigEndian = false;
    else if (block.compare(0, 4, "MM\0*", 4) == 0)
        tiff.bigEndian = true;
    else
        return Answer::AskTheLibrary;
    const size_t ifd0 = tiff.u32(4);
    unsigned count = 0;
    if (!tiff.directory(ifd0, count))
        return Answer::AskTheLibrary;
    size_t exifIfd = 0;
    int pointers = 0;
    for (unsigned i = 0; i < count; ++i) {
        const size_t entry = ifd0 + 2 + 12 * size_t(i);
        const uint16_t tag = tiff.u16(entry);
        if (tag == kUserComment)
            return Answer::AskTheLibrary;
        if (tag != kExifIfdPointer)
            continue;
        const uint16_t type = tiff.u16(entry + 2);
        if ((type != 4 && type != 13) || tiff.u32(entry + 4) != 1)
            return Answer::AskTheLibrary;
        exifIfd = tiff.u32(entry + 8);
        ++pointers;
    }
    if (pointers != 1 || exifIfd == ifd0 || !tiff.directory(exifIfd, count))
        return Answer::AskTheLibrary;
    for (unsigned i = 0; i < count; ++i)
        if (tiff.u16(exifIfd + 2 + 12 * size_t(i)) == kUserComment)
            return Answer::AskTheLibrary;
    return Answer::NoUserComment;
}

} // namespace

namespace ExifProbe {

Answer jpegUserComment(const RegularFile& file)
{
    // Most headers fit in the first read; a longer Exif block is read whole.
    const std::string head = file.readAt(0, 4096);
    if (head.size() < 4 || head.compare(0, 2, "\xFF\xD8") != 0)
        return Answer::AskTheLibrary;
    std::string exif;
    bool foundExif = false;
    int metadataSegments = 0;
    uint64_t pos = 2;
    for (int segments = 0; segments < 1024; ++segments) {
        std::string marker = pos + 4 <= head.size() ? head.substr(pos, 4) : file.readAt(pos, 4);
        if (marker.size() < 2 || static_cast<unsigned char>(marker[0]) != 0xFF)
            return Answer::AskTheLibrary;
        const unsigned char type = static_cast<unsigned char>(marker[1]);
        if (type == 0xDA) // start of scan: the library reads no further
            return foundExif ? probeTiff(exif) : Answer::NoExif;
        // Fill bytes, markers without a length, a second start or an early end:
        // laid out unusually, so the library decides.
        if (type == 0xFF || type == 0x00 || type == 0x01 || type == 0xD8 || type == 0xD9 ||
            (type >= 0xD0 && type <= 0xD7) || marker.size() < 4)
            return Answer::AskTheLibrary;
        const uint64_t length = (static_cast<unsigned char>(marker[2]) << 8) | static_cast<unsigned char>(marker[3]);
        if (length < 2 || pos + 2 + length > file.fileSize())
            return Answer::AskTheLibrary;
        const uint64_t body = pos + 4;
        const uint64_t bodySize = length - 2;
        const auto bodyBytes = [&](uint64_t size) {
            return body + size <= head.size() ? head.substr(body, size) : file.readAt(body, size);
        };
        if (type == 0xED || type == 0xE2) // Photoshop and colour-profile segments
            return Answer::AskTheLibrary;
        if (type == 0xE1 || type == 0xFE) {
            // The library looks past a short segment's end for its signature,
            // and stops looking once it has met several metadata segments.
            if (bodySize < 8 || (!foundExif && ++metadataSegments > 2))
                return Answer::AskTheLibrary;
            if (type == 0xE1 && !foundExif && bodyBytes(6) == std::string("Exif\0\0", 6)) {
                exif = bodyBytes(bodySize).substr(6);
                if (exif.size() != bodySize - 6)
                    return Answer::AskTheLibrary;
                foundExif = true;
            }
        }
        pos = body + bodySize;
    }
    return Answer::AskTheLibrary;
}

} // namespace ExifProbe
