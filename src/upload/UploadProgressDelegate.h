#pragma once

#include "util/RelaunchRequest.h"

#include <cstdint>
#include <string>

// What the uploader asks of the application controller. All but
// uploadProgress are called on the main thread.
class UploadProgressDelegate {
public:
    virtual ~UploadProgressDelegate() = default;

    // Quits the application and starts it again with the request's launch flags.
    virtual void relaunchApp(const RelaunchRequest& request) = 0;

    // The watchdog cut the upload of the photo off (before the relaunch is
    // asked for): the photo is remembered, so that a photo the service always
    // stalls on cannot hold up the station after the relaunch.
    virtual void uploadCutOffByWatchdog(const std::string& /*photo*/, double /*seconds*/) { }

    // Whether the application is the active one (a relaunch then brings it forward).
    virtual bool isApplicationActive() const { return false; }

    // How far a long upload has come (at most every 2 s); called on the
    // upload's own thread, which it must not hold up.
    virtual void uploadProgress(const std::string& /*photo*/, int64_t /*sent*/, int64_t /*total*/,
                                double /*bytesPerSecond*/)
    {
    }
};
