// The version-4 order reply: "image" elements, each of which may name its file.
#include "OrderReplyCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    OrderReplyCheck::read(data, size, &OrderReply::readVers4, "image");
    return 0;
}
