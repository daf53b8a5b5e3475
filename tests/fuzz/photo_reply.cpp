// The photo reply reader: the body the web service answers to an upload.
#include "upload/UploadReply.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const UploadReply reply = UploadReply::read(std::string_view(reinterpret_cast<const char*>(data), size));
    // Every body gets a status and a message, "FAIL" when it is no usable reply.
    if (!reply.status || !reply.message)
        __builtin_trap();
    return 0;
}
