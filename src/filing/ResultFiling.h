#pragma once

struct Notification;
class UploadChainHost;

// Files a photo by the outcome of its upload: into the mirror folder after a
// success; into the Problem Folder, back to the source folder for another
// try, or nowhere (the chain stops) after a failure. Runs on the photo's scan
// thread, nested in the upload's notifications.
class ResultFiling {
public:
    explicit ResultFiling(UploadChainHost& host) : fHost(host) { }

    void handleNotification_UploadSuccess(const Notification& note);
    void handleNotification_UploadFail(const Notification& note);

private:
    UploadChainHost& fHost;
};
