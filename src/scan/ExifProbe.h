#pragma once

class RegularFile;

// A quick look at a JPEG's segments for what the metadata library would find
// in it, for the photos the scan has to leave behind: most of them are plain
// JPEGs whose headers show at a glance that they carry no user comment. It
// answers only when the file is laid out so plainly that the library's full
// read is certain to agree; anything unusual (an Exif block with a user
// comment, odd segments, a damaged directory, Photoshop or colour-profile
// segments whose reading can fail) is left to the library.
namespace ExifProbe {

enum class Answer {
    NoExif,        // a JPEG without an Exif block: the library reads no Exif data
    NoUserComment, // the library reads Exif data, without a user comment
    AskTheLibrary,
};

Answer jpegUserComment(const RegularFile& file);

} // namespace ExifProbe
