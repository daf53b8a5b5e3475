#pragma once

#include "platform/PlistValue.h"

#include <map>
#include <optional>
#include <string>

// Writes small sample photos the way the photo station does: a JPEG with the
// PhotoMetaData as its Exif user comment, or a PNG with it as the 2048-byte
// tail after the image data. Used by quon-mkphoto, the tests and the benchmarks.
namespace PhotoWriter {

enum class Format { Jpeg, Png };
enum class CommentCharset { Ascii, Unicode, Undefined };
enum class ByteOrder { Little, Big };
enum class TailPadding { Nul, Space };

struct PhotoSpec {
    Format format = Format::Jpeg;
    // The block to embed; none writes a photo that is not ready.
    std::optional<PlistValue> metaData;
    // How a JPEG's user comment is encoded, and the byte order of its Exif block.
    CommentCharset charset = CommentCharset::Ascii;
    ByteOrder byteOrder = ByteOrder::Little;
    // What fills a PNG tail after the property list.
    TailPadding padding = TailPadding::Nul;
    // Exif DateTimeOriginal, "YYYY:MM:DD HH:MM:SS".
    std::optional<std::string> dateTimeOriginal;
    // Further Exif text tags by key ("Exif.Image.DateTime" -> "2010:09:12 14:33:10").
    std::map<std::string, std::string> exifText;
    // A user comment stored byte for byte (prefix included); it replaces the
    // comment made from metaData. A PNG carries it in its Exif block.
    std::optional<std::string> rawUserComment;
};

// Writes the photo to path (replacing any file there). False and the reason
// when it cannot, e.g. when the block does not fit a PNG tail.
bool writePhoto(const std::string& path, const PhotoSpec& recipe, std::string* error = nullptr);

// The bytes of the photo without any metadata: a 16x16 baseline JPEG, a 16x16 PNG.
std::string plainJpeg();
std::string plainPng();

// The 2048-byte PNG tail holding the block: its XML, then padding. Nothing
// when the XML is longer than the tail.
std::optional<std::string> pngTail(const PlistValue& metaData, TailPadding padding);

// The stored user comment for the block: prefix plus encoded XML.
std::string userComment(const PlistValue& metaData, CommentCharset charset, ByteOrder byteOrder);

} // namespace PhotoWriter
