#include "mkphoto/PhotoWriter.h"

#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "scan/PhotoMetaData.h"
#include "scan/UserCommentText.h"

#include <cstdint>
#include <exiv2/exiv2.hpp>
#include <zlib.h>

namespace {

// A 16x16 baseline JPEG (JFIF, 4:2:0, optimised Huffman tables), colour gradient.
constexpr uint8_t kPlainJpeg[] = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
    0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x06, 0x04, 0x05, 0x06, 0x05, 0x04, 0x06, 0x06, 0x05, 0x06, 0x07, 0x07, 0x06,
    0x08, 0x0a, 0x10, 0x0a, 0x0a, 0x09, 0x09, 0x0a, 0x14, 0x0e, 0x0f, 0x0c, 0x10, 0x17, 0x14, 0x18, 0x18, 0x17, 0x14,
    0x16, 0x16, 0x1a, 0x1d, 0x25, 0x1f, 0x1a, 0x1b, 0x23, 0x1c, 0x16, 0x16, 0x20, 0x2c, 0x20, 0x23, 0x26, 0x27, 0x29,
    0x2a, 0x29, 0x19, 0x1f, 0x2d, 0x30, 0x2d, 0x28, 0x30, 0x25, 0x28, 0x29, 0x28, 0xff, 0xdb, 0x00, 0x43, 0x01, 0x07,
    0x07, 0x07, 0x0a, 0x08, 0x0a, 0x13, 0x0a, 0x0a, 0x13, 0x28, 0x1a, 0x16, 0x1a, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28,
    0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28,
    0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0x28,
    0x28, 0x28, 0x28, 0x28, 0x28, 0x28, 0xff, 0xc0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x10, 0x03, 0x01, 0x22, 0x00,
    0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xff, 0xc4, 0x00, 0x16, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x07, 0xff, 0xc4, 0x00, 0x16, 0x10, 0x00, 0x03, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 0x62, 0xff, 0xc4, 0x00,
    0x15, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
    0x04, 0xff, 0xc4, 0x00, 0x18, 0x11, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x15, 0x16, 0x61, 0x62, 0xff, 0xda, 0x00, 0x0c, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11,
    0x00, 0x3f, 0x00, 0x9e, 0x9e, 0x42, 0x79, 0x34, 0x64, 0xf2, 0x13, 0xc9, 0x34, 0xb3, 0x42, 0xa2, 0x8f, 0xff, 0xd9,
};

void appendBigEndian32(std::string& out, uint32_t value)
{
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

void appendChunk(std::string& png, const char* type, const std::string& data)
{
    appendBigEndian32(png, static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    png += body;
    appendBigEndian32(
        png,
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

bool fail(std::string* error, const std::string& why)
{
    if (error)
        *error = why;
    return false;
}

// Exif written with the metadata library; a photo without any gets none.
bool writeExif(const std::string& path, const PhotoWriter::PhotoSpec& recipe, const std::optional<std::string>& comment,
               std::string* error)
{
    if (!comment && !recipe.dateTimeOriginal && recipe.exifText.empty())
        return true;
    try {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        auto image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        Exiv2::ExifData exif;
        if (recipe.dateTimeOriginal)
            exif["Exif.Photo.DateTimeOriginal"] = *recipe.dateTimeOriginal;
        for (const auto& [key, text] : recipe.exifText)
            exif[key] = text;
        if (comment) {
            // Stored as raw bytes so the prefix and the byte order are exactly ours.
            Exiv2::DataValue value(Exiv2::undefined);
            value.read(reinterpret_cast<const Exiv2::byte*>(comment->data()), static_cast<long>(comment->size()));
            exif.add(Exiv2::ExifKey("Exif.Photo.UserComment"), &value);
        }
        image->setExifData(exif);
        image->setByteOrder(recipe.byteOrder == PhotoWriter::ByteOrder::Big ? Exiv2::bigEndian : Exiv2::littleEndian);
        image->writeMetadata();
        return true;
    } catch (const std::exception& e) {
        return fail(error, std::string("cannot write Exif: ") + e.what());
    }
}

} // namespace

namespace PhotoWriter {

std::string plainJpeg() { return std::string(reinterpret_cast<const char*>(kPlainJpeg), sizeof kPlainJpeg); }

std::string plainPng()
{
    constexpr uint32_t side = 16;
    std::string header;
    appendBigEndian32(header, side);
    appendBigEndian32(header, side);
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, deflate, no filter, no interlace
    std::string pixels;
    for (uint32_t y = 0; y < side; ++y) {
        pixels.push_back('\0'); // filter type None
        for (uint32_t x = 0; x < side; ++x) {
            pixels.push_back(static_cast<char>(x * 16));
            pixels.push_back(static_cast<char>(y * 16));
            pixels.push_back(static_cast<char>(0xC0));
        }
    }
    uLongf packedLength = compressBound(static_cast<uLong>(pixels.size()));
    std::string packed(packedLength, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &packedLength, reinterpret_cast<const Bytef*>(pixels.data()),
             static_cast<uLong>(pixels.size()));
    packed.resize(packedLength);

    std::string png("\x89PNG\r\n\x1a\n", 8);
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", packed);
    appendChunk(png, "IEND", "");
    return png;
}

std::optional<std::string> pngTail(const PlistValue& metaData, TailPadding padding)
{
    std::string tail = PropertyList::toXml(metaData);
    if (tail.size() > kQuonPngMetaDataLength)
        return std::nullopt;
    tail.resize(kQuonPngMetaDataLength, padding == TailPadding::Nul ? '\0' : ' ');
    return tail;
}

std::string userComment(const PlistValue& metaData, CommentCharset charset, ByteOrder byteOrder)
{
    const auto code = charset == CommentCharset::Ascii ? UserCommentText::Charset::Ascii
        : charset == CommentCharset::Unicode           ? UserCommentText::Charset::Unicode
                                                       : UserCommentText::Charset::Undefined;
    return UserCommentText::encode(PropertyList::toXml(metaData), code, byteOrder == ByteOrder::Big);
}

bool writePhoto(const std::string& path, const PhotoSpec& recipe, std::string* error)
{
    std::optional<std::string> comment = recipe.rawUserComment;
    std::optional<std::string> tail;
    if (recipe.metaData && !recipe.metaData->isDictionary())
        return fail(error, "the metadata must be a dictionary");
    if (recipe.metaData && recipe.format == Format::Png) {
        tail = pngTail(*recipe.metaData, recipe.padding);
        if (!tail)
            return fail(error,
                        "the metadata is longer than the " + std::to_string(kQuonPngMetaDataLength) + "-byte PNG tail");
    }
    if (recipe.metaData && recipe.format == Format::Jpeg && !comment)
        comment = userComment(*recipe.metaData, recipe.charset, recipe.byteOrder);

    const std::string image = recipe.format == Format::Jpeg ? plainJpeg() : plainPng();
    std::string why;
    if (!FileUtil::writeFileAtomically(path, image, 0644, &why))
        return fail(error, why);
    if (!writeExif(path, recipe, comment, error))
        return false;
    if (tail) {
        // The block follows the image data with no marker of its own.
        std::string bytes;
        if (!FileUtil::readFile(path, bytes, &why))
            return fail(error, why);
        if (!FileUtil::writeFileAtomically(path, bytes + *tail, 0644, &why))
            return fail(error, why);
    }
    return true;
}

} // namespace PhotoWriter
