#pragma once

#include "filing/PhotoRetryPauses.h"

struct Notification;
struct UploadItemInfo;
struct UploadResultInfo;
class UploadChainHost;

// Files a photo by the outcome of its upload: into the mirror folder after a
// success; into the Problem Folder, back to the source folder for another
// try, or nowhere (the chain stops) after a failure. A photo the service
// answered but did not take waits its own growing pause before it is sent
// again; one it took but that cannot be moved is never sent again, and its
// move is tried again after such a pause. Runs on the photo's scan thread,
// nested in the upload's notifications; the retries of the moves run on a
// worker thread of their own.
class ResultFiling {
public:
    explicit ResultFiling(UploadChainHost& host) : fHost(host) { }

    void handleNotification_UploadSuccess(const Notification& note);
    void handleNotification_UploadFail(const Notification& note);
    // Tries again the moves whose pause has ended (a worker thread).
    void retryPendingFilings();

private:
    enum class Filed { Yes, No };
    Filed filePhoto(const UploadItemInfo& item, PhotoRetryPauses::Destination destination);
    void pauseBeforeSendingAgain(const UploadResultInfo& result);

    UploadChainHost& fHost;
};
