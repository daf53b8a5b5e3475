#pragma once

#include "upload/HttpError.h"
#include "upload/HttpResponse.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class MultipartBody;

// One synchronous POST of a multipart body to the web service, on the calling
// thread. Certificates of https endpoints are verified.
class HttpTransfer {
public:
    // A connection that cannot be made, or an exchange that moves no byte,
    // for this long fails with a time-out; a slow but moving upload does not.
    static constexpr long kTimeOutSeconds = 60;
    // A longer reply is refused as a transport error; it is read no further
    // than the cap, and not at all when it announces its length.
    static constexpr size_t kMaxReplyBytes = 16 * 1024 * 1024;

    struct Result {
        std::optional<HttpResponse> response; // a status line arrived
        std::optional<HttpError> error;       // the exchange failed
        std::optional<std::string> body;      // the whole reply body, when the exchange completed
    };

    // Sends body to url, reading its file parts from disk as they go out.
    // shouldAbort is asked at least once a second; when it answers true the
    // transfer stops with an error described by abortReason. onBytesMoved
    // is called whenever bytes of the body went out or bytes of the reply
    // came in; onBodySent with the body's bytes sent so far and its size,
    // whenever that count grew.
    static Result post(const std::string& url, MultipartBody& body, const std::function<bool()>& shouldAbort,
                       const std::string& abortReason, const std::function<void()>& onBytesMoved = {},
                       const std::function<void(int64_t sent, int64_t total)>& onBodySent = {});
};
