#pragma once

#include "platform/PlistValue.h"

#include <cstddef>
#include <optional>
#include <string>

// The PhotoMetaData block that the photo station embeds in each photo: an XML
// property list whose root is a dictionary. A JPEG carries it as the text of
// its Exif user comment; a PNG as the last kQuonPngMetaDataLength bytes of the
// file, after the image data, padded with NULs or white space.

// Length of the block at the end of a PNG photo.
inline constexpr std::size_t kQuonPngMetaDataLength = 2048;

// Keys of the block; all are optional.
namespace PhotoMetaDataKey {
inline constexpr const char* Version = "Version";
inline constexpr const char* OriginalPath = "OriginalPath";
inline constexpr const char* EmailsForUpload = "ZV_emailsForUpload";
inline constexpr const char* QuandroInfo = "ZV_quandroInfo";
inline constexpr const char* KioskStation = "ZV_kioskStation";
inline constexpr const char* MuxedMovieName = "ZV_muxedMovieName";
inline constexpr const char* SittingInfoDictionary = "SittingInfoDictionary";
} // namespace PhotoMetaDataKey

// The block of a file whose extension is "png" (any case), read from a
// read-only map of the last 2048 bytes. Nothing when the file is not such a
// PNG, cannot be opened, is 2048 bytes or shorter, or its tail is not UTF-8
// holding an XML property list with a dictionary root.
// Never throws, never writes; safe on any thread.
std::optional<PlistValue> getQuonMetaDataFromPng(const std::string& path);

// The block held in the Exif user comment of any image file the metadata
// library can read (the extension plays no part). Nothing when there is no
// Exif, no comment, a comment that cannot be decoded, or one that is not an
// XML property list with a dictionary root.
// Never throws, never writes; safe on any thread.
std::optional<PlistValue> getQuonMetaDataFromJpeg(const std::string& path);

class ExifImage;
class RegularFile;

// The same, from the Exif of the file at path as already read into image
// (one read of the photo serves the scan, the item and the capture date).
std::optional<PlistValue> getQuonMetaDataFromJpeg(const ExifImage& image, const std::string& path);

// The same, for a file the caller has open: a plain JPEG's segments are
// looked at first, and the library reads only a file they cannot settle.
std::optional<PlistValue> getQuonMetaDataFromJpeg(const std::string& path, const RegularFile& opened);
