// The command socket's request line, and the reply line quon-ctl reads. A
// request that is accepted must survive being sent on: encoded and read again
// it is the same command.
#include "remote/CommandProtocol.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    AppleEvent event;
    std::string error;
    if (CommandProtocol::decodeRequest(line, &event, &error)) {
        std::string encoded = CommandProtocol::encodeRequest(event);
        if (encoded.empty() || encoded.back() != '\n')
            __builtin_trap();
        encoded.pop_back();
        AppleEvent again;
        if (!CommandProtocol::decodeRequest(encoded, &again, &error) || again.eventClass != event.eventClass ||
            again.eventID != event.eventID || again.wantsReply != event.wantsReply ||
            !(again.directObject == event.directObject))
            __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    CommandProtocol::decodeReply(line);
    return 0;
}
