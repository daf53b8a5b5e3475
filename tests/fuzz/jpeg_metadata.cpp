// The JPEG metadata reader: any image file the metadata library recognises,
// read for the Exif user comment block and for the capture dates.
#include "FuzzFile.h"

#include "scan/PhotoDates.h"
#include "scan/PhotoMetaData.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzFile::removeAtExit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzFile::write("photo.jpg", data, size);
    const auto block = getQuonMetaDataFromJpeg(path);
    if (block && !block->isDictionary())
        __builtin_trap();
    GetInternalExifPictureCaptureDate(path, false);
    GetInternalTiffPictureCaptureDate(path, false);
    return 0;
}
