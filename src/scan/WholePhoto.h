#pragma once

#include <string>

class RegularFile;

// Whether a photo file is complete, told from its bytes alone. A JPEG carries
// its metadata at its start, so a copy still under way already has its block;
// only the end-of-image marker shows that the image itself arrived. Reads a
// few segment headers and the file's tail, never the whole image.
namespace WholePhoto {

enum class Format { Jpeg, Png, Other };

struct Verdict {
    Format format = Format::Other;
    // Jpeg: the image data ends with its end-of-image marker (FF D9), possibly
    // followed by zero bytes, after its first scan header. Png: the file ends
    // with its IEND chunk (possibly followed by zero bytes). Other: never.
    bool endsWhole = false;
};

Verdict check(const RegularFile& file);

} // namespace WholePhoto
