#pragma once

#include "upload/RequestDumpWriter.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

class NotificationCenter;
class QObject;
class UploadItemInfo;
class UploadProgressDelegate;
class UploadWatchdog;
class UploadWatchdogTimer;
struct Notification;
struct UploadResultInfo;

// The photo uploader. It sends each item of "UploadStartNotification" to the
// web service on the posting thread, posts "UploadDoneNotification" with the
// result, classifies that result into "UploadSuccessNotification" or
// "UploadFailNotification", and relaunches the application through its
// delegate when an upload outlasts the configured time-out. It registers
// after the application controller, so the controller's handlers run first.
// Create it on the main thread: the time-out timers live there.
class HttpController {
public:
    explicit HttpController(NotificationCenter& center);
    ~HttpController();
    HttpController(const HttpController&) = delete;
    HttpController& operator=(const HttpController&) = delete;

    // Not owned; set once before the first upload.
    void setProgressDelegate(UploadProgressDelegate* delegate) { fProgressDelegate = delegate; }
    UploadProgressDelegate* progressDelegate() const { return fProgressDelegate; }

    void handleNotification_UploadStart(const Notification& note);
    void handleNotification_UploadDone(const Notification& note);
    void handleNotification_UploadSuccess(const Notification& note);
    void handleNotification_UploadFail(const Notification& note);

    // Runs the upload of the notification's item on the calling thread.
    void doRunHttpUploaderInThread(const Notification& note);

    // Sends one photo (and its movie) and posts "UploadDoneNotification" with
    // the result; the item is emptied afterwards. Blocks the calling thread
    // for the whole exchange. Always true: the outcome travels in the post.
    bool doRunHttpUploaderWithInfo(const std::shared_ptr<UploadItemInfo>& info);

    // The time-out of an upload passed (main thread): tells the delegate
    // which photo was cut off, stops the transfer and asks the delegate to
    // relaunch the application.
    void uploadTimerFired(UploadWatchdog& timer, const std::string& photo = {});

    // Stops every transfer in flight, and every later one, within a second;
    // for an owner that goes away before the process ends. Any thread.
    void abortTransfersInFlight() { fAbortTransfers = true; }

    // True when the result counts as a failure (the rules of "UploadDoneNotification").
    static bool uploadDidFail(const UploadResultInfo& result);

    // The text a photo field carries for the event: the event name, with
    // "_" and the trimmed kiosk station when there is one.
    static std::string eventNameWithKioskStation(const UploadItemInfo& item);
    // The movie that goes with the photo, if any.
    static std::optional<std::string> chosenMovie(const UploadItemInfo& item);
    // "image/png", "image/jpeg" or "video/quicktime", by the path's extension.
    static std::string contentTypeForPath(const std::string& path);

private:
    NotificationCenter& fCenter;
    UploadProgressDelegate* fProgressDelegate = nullptr;
    std::unique_ptr<QObject> fTimerContext; // owns the time-out timer, on the main thread
    std::unique_ptr<UploadWatchdogTimer> fWatchdogTimer; // one timer for the time-outs of all uploads
    std::atomic<bool> fAbortTransfers{false};
    RequestDumpWriter fDumpWriter; // the debug copies of the body being sent
};
