// The version-3 order reply: "order" elements beside a status and a message.
#include "OrderReplyCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    OrderReplyCheck::read(data, size, &OrderReply::readVers3, "order");
    return 0;
}
