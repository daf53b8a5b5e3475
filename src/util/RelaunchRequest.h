#pragma once

#include <cstdio>
#include <string>

// What a relaunch is asked with: the launch flags say whether the new
// instance comes to the front (1) or starts without raising its window and
// without showing in the recent items (0x100300), and the sender is whoever asked.
struct RelaunchRequest {
    static constexpr long kLaunchFlagsActivate = 0x1;
    static constexpr long kLaunchFlagsInBackground = 0x100300; // 1049344

    long LSLaunchFlags = kLaunchFlagsActivate;
    const void* sender = nullptr;
    const char* senderClass = nullptr; // for the log

    std::string describe() const
    {
        char senderText[96];
        std::snprintf(senderText, sizeof senderText, "<%s: %p>", senderClass ? senderClass : "NSObject", sender);
        return "{LSLaunchFlags = " + std::to_string(LSLaunchFlags) + "; sender = " + (sender ? senderText : "(null)") +
            "}";
    }
};
