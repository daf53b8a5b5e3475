#pragma once

#include "scan/UploadItemInfo.h"
#include "upload/HttpError.h"
#include "upload/HttpResponse.h"

#include <optional>
#include <string>

// The outcome of one photo upload: every field of the item that was sent,
// plus the reply keys. Each reply key is present only when its part of the
// exchange happened, and the classification and the filing rely on that.
struct UploadResultInfo : public UploadItemInfo {
    UploadResultInfo() = default;
    explicit UploadResultInfo(const UploadItemInfo& item) : UploadItemInfo(item) { }

    std::optional<long> httpStatusCode;              // a reply arrived
    std::optional<HttpError> httpError;              // the transport reported an error
    std::optional<HttpResponse> httpResponse;        // a reply arrived
    std::optional<std::string> httpReturnData;       // the raw reply body, even an empty one
    std::optional<std::string> httpOurCustomStatus;  // the reply was read as XML, or the upload was refused
                                                     // ("Warning") or stopped ("FAIL": the photo changed) here
    std::optional<std::string> httpOurCustomMessage; // as for httpOurCustomStatus
    bool cutOffByWatchdog = false;                   // the watchdog stopped the transfer: no answer came in time

    void clear() override { *this = UploadResultInfo(); }
    std::string describe() const override
    {
        std::string out = UploadItemInfo::describe();
        out.pop_back(); // the closing brace
        if (httpStatusCode)
            out += "; httpStatusCode = " + std::to_string(*httpStatusCode);
        if (httpError)
            out += "; httpError = \"" + httpError->localizedDescription + "\"";
        if (httpReturnData)
            out += "; httpReturnData = <" + std::to_string(httpReturnData->size()) + " bytes>";
        if (httpOurCustomStatus)
            out += "; httpOurCustomStatus = \"" + *httpOurCustomStatus + "\"";
        if (httpOurCustomMessage)
            out += "; httpOurCustomMessage = \"" + *httpOurCustomMessage + "\"";
        if (cutOffByWatchdog)
            out += "; cutOffByWatchdog = YES";
        return out + "}";
    }
};
