#pragma once

#include <cstdint>
#include <exiv2/exiv2.hpp>
#include <optional>
#include <string>

class RegularFile;

// The metadata of one image file, read with Exiv2 through plain reads.
// Every error of the library ends here: the object then reports a status, and
// nothing it offers throws.
class ExifImage {
public:
    enum class Status {
        CannotOpen, // missing, not a regular file, or not readable
        NotAnImage, // no image format the library knows, or its metadata is unreadable
        Read,
    };

    explicit ExifImage(const std::string& path);
    // The file at path, already open as file; parsed from memory when the
    // file holds its bytes (RegularFile::holdWhole).
    ExifImage(const RegularFile& file, const std::string& path);

    // Files up to this size are read in one go and parsed from memory; larger
    // ones are read where the library looks.
    static constexpr uint64_t kReadWholeUpTo = 512 * 1024;

    Status status() const { return fStatus; }
    // Why the file could not be opened or read (for the log).
    const std::string& error() const { return fError; }

    // Empty unless the status is Read.
    const Exiv2::ExifData& exifData() const { return fExifData; }
    // Byte order of the file's Exif block.
    bool isBigEndian() const { return fBigEndian; }
    bool isPng() const { return fMimeType == "image/png"; }

    // The value of an Exif tag ("Exif.Photo.UserComment") as it is stored,
    // byte for byte; nothing when the tag is absent.
    std::optional<std::string> rawValue(const std::string& key) const;
    // The value of an Exif tag as text; nothing when the tag is absent.
    std::optional<std::string> textValue(const std::string& key) const;

    // Quiets the library's own console output and prepares its XMP parser for
    // use from several threads. Done once; every reader calls it first.
    static void prepareLibrary();

private:
    void read(const RegularFile& file, const std::string& path);

    Status fStatus = Status::CannotOpen;
    std::string fError;
    Exiv2::ExifData fExifData;
    bool fBigEndian = false;
    std::string fMimeType;
};
