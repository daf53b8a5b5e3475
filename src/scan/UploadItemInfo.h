#pragma once

#include "platform/NotificationCenter.h"
#include "platform/PlistValue.h"

#include <optional>
#include <string>

// Everything the upload of one photo needs, gathered by the scan pass and
// carried by the upload notifications. Fields that may be absent are optional.
class UploadItemInfo : public NotificationInfo {
public:
    std::string localRootFolder;
    std::string localMirrorFolder;
    std::string userEnteredEventName;
    std::optional<std::string> userEnteredClientName;
    std::string localItem; // path relative to the scanned folder
    std::string edUser;
    std::string edPasswd;
    std::string edFileName; // full path of the photo
    std::string edClientName;
    std::string edEventName;
    std::string edMetaData;
    std::string edCaptureTime;
    std::string edOrvFuseAction;
    std::optional<PlistValue> edSittingInfoDictionary;
    std::optional<std::string> edEmails;
    std::optional<std::string> edOriginalPath;
    std::optional<PlistValue> edQuandroInfo;
    std::optional<std::string> edKioskStation;
    std::optional<std::string> edMuxedMovieName;

    void clear() override { *this = UploadItemInfo(); }
    std::string describe() const override;
};
