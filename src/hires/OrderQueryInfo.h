#pragma once

#include "upload/HttpError.h"
#include "upload/HttpResponse.h"

#include <optional>
#include <string>

class MaintenanceWindow;

// The login one order query runs under.
struct OrderQueryInfo {
    std::optional<std::string> edUser;
    std::optional<std::string> edPasswd;

    void clear() { *this = {}; }
};

// The working record of one query (or one hi-res upload): the login, what
// came back, and the reply's status and message. Dropped when the exchange ends.
struct OrderQueryResult {
    MaintenanceWindow* progressDelegate = nullptr;
    std::optional<std::string> edUser;
    std::optional<std::string> edPasswd;
    std::optional<long> httpStatusCode;
    std::optional<HttpError> httpError;
    std::optional<HttpResponse> httpResponse;
    std::optional<std::string> httpReturnData;
    std::optional<std::string> httpOurCustomStatus;
    std::optional<std::string> httpOurCustomMessage;
};

// One found hi-res file to send. The order query fills the ids from the
// reply; a version-4 reply may leave any of them out.
struct HiResUploadInfo {
    std::optional<std::string> edUser;
    std::optional<std::string> edPasswd;
    std::string edFileName; // full local path of the found file
    std::optional<std::string> edImageId;
    std::optional<std::string> edOrderId;
    std::optional<std::string> edPictureId;

    void clear() { *this = {}; }
};
