#pragma once

#include <string>

// A transport failure of one request: the connection could not be made, the
// exchange was cut off, timed out or was aborted, or the reply was refused.
struct HttpError {
    int code = 0; // the transfer library's error code
    std::string localizedDescription;
    std::string failingURL;

    // The error's user-info dictionary, as one log line.
    std::string userInfoDescription() const
    {
        return "{failingURL = \"" + failingURL + "\"; localizedDescription = \"" + localizedDescription +
            "\"; code = " + std::to_string(code) + "}";
    }
};
