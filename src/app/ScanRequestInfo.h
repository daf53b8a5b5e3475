#pragma once

#include "platform/NotificationCenter.h"

#include <string>

// One scan request: which folder to scan, where uploaded photos go, and the
// event of this run.
class ScanRequestInfo : public NotificationInfo {
public:
    std::string localRootFolder;
    std::string localMirrorFolder;
    std::string userEnteredEventName;

    void clear() override
    {
        localRootFolder.clear();
        localMirrorFolder.clear();
        userEnteredEventName.clear();
    }
    std::string describe() const override
    {
        return "{localRootFolder = \"" + localRootFolder + "\"; localMirrorFolder = \"" + localMirrorFolder +
            "\"; userEnteredEventName = \"" + userEnteredEventName + "\"}";
    }
};
