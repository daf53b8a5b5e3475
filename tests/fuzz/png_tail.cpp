// The PNG tail reader: a whole .png file as the station could leave it, the
// PhotoMetaData block being its last 2048 bytes.
#include "FuzzFile.h"

#include "scan/PhotoMetaData.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzFile::removeAtExit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzFile::write("photo.png", data, size);
    const auto block = getQuonMetaDataFromPng(path);
    if (block && !block->isDictionary())
        __builtin_trap();
    return 0;
}
