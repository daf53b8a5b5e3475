#pragma once

#include "util/RelaunchRequest.h"

// What the uploader asks of the application controller. Both are called on
// the main thread.
class UploadProgressDelegate {
public:
    virtual ~UploadProgressDelegate() = default;

    // Quits the application and starts it again with the request's launch flags.
    virtual void relaunchApp(const RelaunchRequest& request) = 0;

    // Whether the application is the active one (a relaunch then brings it forward).
    virtual bool isApplicationActive() const { return false; }
};
