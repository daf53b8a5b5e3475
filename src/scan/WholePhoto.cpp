#include "scan/WholePhoto.h"

#include "scan/RegularFile.h"

#include <algorithm>
#include <optional>

namespace {

// Zero bytes after the image are tolerated up to this much; a longer run is
// more likely space reserved for data still to come.
constexpr uint64_t kMaxZeroPadding = 1 << 20;

// Offset just past the last byte that is not zero; nullopt when the zero run
// is longer than kMaxZeroPadding (or the file holds nothing else).
std::optional<uint64_t> endOfData(const RegularFile& file)
{
    uint64_t end = file.fileSize();
    uint64_t window = 512; // most photos end right at their marker
    for (; end > 0 && file.fileSize() - end <= kMaxZeroPadding; window = std::min<uint64_t>(window * 4, 64 * 1024)) {
        const uint64_t start = end > window ? end - window : 0;
        const std::string bytes = file.readAt(start, end - start);
        if (bytes.size() != end - start)
            return std::nullopt; // the file shrank under us
        const size_t last = bytes.find_last_not_of('\0');
        if (last != std::string::npos) {
            const uint64_t dataEnd = start + last + 1;
            return file.fileSize() - dataEnd <= kMaxZeroPadding ? std::optional<uint64_t>(dataEnd) : std::nullopt;
        }
        end = start;
    }
    return std::nullopt;
}

// Offset just past the header of the first scan (SOS), found by walking the
// marker segments from the start; nullopt when they cannot be walked there.
// An Exif thumbnail carries an end-of-image marker of its own inside its
// segment, so the file's final marker must lie beyond this point.
std::optional<uint64_t> endOfFirstScanHeader(const RegularFile& file, const std::string& start)
{
    uint64_t pos = 2; // after SOI
    for (int segments = 0; segments < 4096; ++segments) {
        // Most headers lie within the first bytes, read once.
        const std::string head = pos + 4 <= start.size() ? start.substr(pos, 4) : file.readAt(pos, 4);
        if (head.size() < 2 || static_cast<unsigned char>(head[0]) != 0xFF)
            return std::nullopt;
        const unsigned char marker = static_cast<unsigned char>(head[1]);
        if (marker == 0xFF) { // fill byte before a marker
            pos += 1;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { // no length of their own
            pos += 2;
            continue;
        }
        if (marker == 0xD8 || marker == 0xD9 || head.size() < 4)
            return std::nullopt;
        const uint64_t length = (static_cast<unsigned char>(head[2]) << 8) | static_cast<unsigned char>(head[3]);
        if (length < 2)
            return std::nullopt;
        pos += 2 + length;
        if (marker == 0xDA)
            return pos <= file.fileSize() ? std::optional<uint64_t>(pos) : std::nullopt;
    }
    return std::nullopt;
}

bool jpegEndsWhole(const RegularFile& file, const std::string& start)
{
    const auto scan = endOfFirstScanHeader(file, start);
    const auto end = endOfData(file);
    if (!scan || !end || *end < *scan + 2)
        return false;
    const std::string marker = file.readAt(*end - 2, 2);
    return marker == "\xFF\xD9";
}

bool pngEndsWhole(const RegularFile& file)
{
    // Length 0, type, and a CRC whose last byte is not zero.
    static const std::string kIend("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    const auto end = endOfData(file);
    return end && *end >= 8 + kIend.size() && file.readAt(*end - kIend.size(), kIend.size()) == kIend;
}

} // namespace

namespace WholePhoto {

Verdict check(const RegularFile& file)
{
    Verdict verdict;
    if (!file.isOpen())
        return verdict;
    const std::string start = file.readAt(0, 4096);
    const std::string header = start.substr(0, 8);
    if (header.size() >= 3 && header.compare(0, 3, "\xFF\xD8\xFF") == 0) {
        verdict.format = Format::Jpeg;
        verdict.endsWhole = jpegEndsWhole(file, start);
    } else if (header == std::string("\x89PNG\r\n\x1A\n", 8)) {
        verdict.format = Format::Png;
        verdict.endsWhole = pngEndsWhole(file);
    }
    return verdict;
}

} // namespace WholePhoto
