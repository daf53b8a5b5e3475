#include "filing/ResultFiling.h"

#include "app/MainThreadPresenter.h"
#include "app/Notifications.h"
#include "app/ProcessState.h"
#include "app/StationStatus.h"
#include "app/UploadChainHost.h"
#include "app/WorkerThreads.h"
#include "filing/AcceptedPhotoFiling.h"
#include "filing/PhotoFiling.h"
#include "filing/PhotoRetryPauses.h"
#include "filing/TransportBackoff.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"
#include "scan/NotReadyReport.h"
#include "upload/UploadResultInfo.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>

namespace {

using Destination = PhotoRetryPauses::Destination;

// Why a photo went to the Problem Folder: the HTTP status, else the service's words.
std::string refusalReason(const UploadResultInfo& result)
{
    if (result.httpStatusCode && *result.httpStatusCode != 200)
        return stringWithFormat("HTTP status %li", *result.httpStatusCode);
    if (result.httpOurCustomMessage && !result.httpOurCustomMessage->empty())
        return *result.httpOurCustomMessage;
    if (result.httpOurCustomStatus)
        return "reply status " + *result.httpOurCustomStatus;
    return "refused by the web service";
}

bool hasItemPaths(const UploadItemInfo& item, const char* operation)
{
    if (item.localRootFolder.empty())
        ConsoleLog::writef("Inside %s => %s... PASSED BAD cDictKeyLocalSourceUploadFolder", "AppController", operation);
    if (item.localItem.empty())
        ConsoleLog::writef("Inside %s => %s... PASSED BAD cDictKeyCurItem", "AppController", operation);
    return !item.localRootFolder.empty() && !item.localItem.empty();
}

std::string clockText(std::chrono::system_clock::time_point when, const char* format)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// The photo as the scan knows it.
std::string photoPathOf(const UploadItemInfo& item)
{
    return item.edFileName.empty() ? FileUtil::joinPath(item.localRootFolder, item.localItem) : item.edFileName;
}

const char* folderName(Destination destination)
{
    return destination == Destination::ProblemFolder ? "Problem Folder" : "Mirror Site Folder";
}

std::optional<std::string> folderOf(Destination destination)
{
    auto folder = destination == Destination::ProblemFolder ? Preferences::getLocalProblemUploadFolder()
                                                            : Preferences::getLocalMasterMirrorSiteFolder();
    if (folder && folder->empty())
        return std::nullopt;
    return folder;
}

std::string nextAttemptText(PhotoRetryPauses::Clock::duration pause)
{
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(pause);
    return PhotoRetryPauses::clockText(std::chrono::system_clock::now() + seconds) + " (in " +
        std::to_string(seconds.count()) + " s)";
}

// What tells the uploaded photo from another one put under its name later.
std::string identityOf(const std::string& path)
{
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
        std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ino);
}

// The journal's record of the photo: the one made for the file now at that
// path or, once the photo itself has moved and only its movie is left, the
// one recorded under that path.
std::optional<AcceptanceJournal::Record> pendingRecordOf(const std::string& photo)
{
    // Records are kept by their photo's path: without one there, nothing to look at on disk.
    auto record = AcceptanceJournal::shared().pendingUnder(photo);
    if (!record)
        return std::nullopt;
    struct stat st { };
    if (::lstat(photo.c_str(), &st) != 0)
        return record;
    if (record->isStill(st))
        return record;
    return std::nullopt; // another photo under that name now
}

// One retry of the pending moves at a time.
std::mutex gFilingRetry;

} // namespace

std::optional<AcceptanceJournal::Record> ResultFiling::recordDecision(const UploadItemInfo& item,
                                                                       Destination destination)
{
    const auto folder = folderOf(destination);
    if (!folder)
        return std::nullopt;
    auto record = AcceptedPhotoFiling::recordFor(item, destination, *folder);
    if (!record) {
        ConsoleLog::writef("Preparing to Move [%s]/[%s]... the photo is no longer in the source folder",
                           item.localRootFolder.c_str(), item.localItem.c_str());
        return std::nullopt;
    }
    AcceptedPhotoFiling::recordAcceptance(*record);
    return record;
}

ResultFiling::Filed ResultFiling::filePhoto(const UploadItemInfo& item, Destination destination, const std::string& why,
                                            std::optional<AcceptanceJournal::Record> record)
{
    const std::string photo = photoPathOf(item);
    const auto folder = folderOf(destination);
    // The answer's decision is in the journal before the first move, so a
    // station killed during the moves files the photo instead of sending it again.
    if (!record && folder)
        record = pendingRecordOf(photo);
    // A record made here has just looked at the photo and its movie: the moves go by that.
    bool justMade = false;
    if (!record && folder)
        justMade = (record = recordDecision(item, destination)).has_value();
    PhotoFiling::Outcome outcome;
    if (record)
        outcome = AcceptedPhotoFiling::file(*record, justMade);
    else if (folder)
        outcome = PhotoFiling::filePhotoAndMovie(item.localRootFolder, item.localItem, *folder, destination);
    else
        outcome = {false, std::string("no ") + folderName(destination) + " is set"};
    if (outcome.filed) {
        fHost.photoRetryPauses().forget(photo);
        fHost.stationStatus().photoFiled(photo, outcome.destination, why, destination == Destination::MirrorSiteFolder);
        return Filed::Yes;
    }
    // The service has the photo: it is not sent again, only its move is tried again.
    const auto pause = fHost.photoRetryPauses().filingFailed(
        photo, {item.localRootFolder, item.localItem, destination, identityOf(photo)});
    const std::string text = item.localItem + " was uploaded but cannot be filed into the " + folderName(destination) +
        ": " + outcome.problem + ". It is not sent again; next try to file it at " + nextAttemptText(pause);
    ConsoleLog::writef("%s [%s]", text.c_str(), photo.c_str());
    fHost.presenter().ibUpdateFTPCallbackStatusTextField(text, true);
    if (pause == PhotoRetryPauses::Clock::duration(PhotoRetryPauses::kFirstPause))
        fHost.presenter().perform(
            [text](StatusPresenter& window) { window.showAlert("An uploaded photo cannot be filed", text, "OK"); });
    fHost.requestFilingRetryAfter(pause);
    return Filed::No;
}

void ResultFiling::pauseBeforeSendingAgain(const UploadResultInfo& result)
{
    const std::string photo = photoPathOf(result);
    const auto pause = fHost.photoRetryPauses().sendFailed(photo);
    std::string text = result.localItem + " was not taken by the web service";
    if (result.httpOurCustomMessage && !result.httpOurCustomMessage->empty())
        text += " (" + *result.httpOurCustomMessage + ")";
    text += "; next attempt at " + nextAttemptText(pause);
    ConsoleLog::writef("%s [%s]", text.c_str(), photo.c_str());
    fHost.presenter().ibUpdateFTPCallbackStatusTextField(text, true);
    // Nothing else may come back for it: the folder does not change meanwhile.
    fHost.requestScanAfter(pause);
}

void ResultFiling::retryPendingFilings()
{
    std::lock_guard lock(gFilingRetry);
    PhotoRetryPauses& pauses = fHost.photoRetryPauses();
    for (const auto& due : pauses.filingsDue()) {
        if (fHost.workerThreads().stopRequested())
            return;
        if (const std::string now = identityOf(due.photoPath);
            !now.empty() && !due.filing.identity.empty() && now != due.filing.identity) {
            ConsoleLog::writef("[%s] is not the photo that was uploaded any more: it will be sent",
                               due.photoPath.c_str());
            pauses.forget(due.photoPath);
            fHost.requestScanAfter(std::chrono::seconds(0));
            continue;
        }
        UploadItemInfo item;
        item.localRootFolder = due.filing.localRootFolder;
        item.localItem = due.filing.localItem;
        item.edFileName = due.photoPath;
        const std::string why =
            due.filing.destination == Destination::MirrorSiteFolder ? "uploaded" : "refused by the web service";
        if (filePhoto(item, due.filing.destination, why) == Filed::Yes) {
            fHost.notReadyReport().forget(due.photoPath);
            ConsoleLog::writef("[%s] is filed into the %s now", due.photoPath.c_str(),
                               folderName(due.filing.destination));
            fHost.presenter().ibUpdateFTPCallbackStatusTextField(item.localItem + " is filed into the " +
                                                                 folderName(due.filing.destination) + " now");
        }
    }
    if (const auto next = pauses.nextFilingIn())
        fHost.requestFilingRetryAfter(*next);
}

void ResultFiling::fileJournalPending()
{
    for (const AcceptanceJournal::Record& record : AcceptanceJournal::shared().pending()) {
        if (fHost.workerThreads().stopRequested())
            return;
        // A move that already failed in this run waits its own pause.
        if (fHost.photoRetryPauses().mayBeSentNow(record.photoPath()).maySend == false)
            continue;
        UploadItemInfo item;
        item.localRootFolder = record.sourceRoot;
        item.localItem = record.item;
        item.edFileName = record.photoPath();
        const std::string why =
            record.destination == Destination::MirrorSiteFolder ? "uploaded" : "refused by the web service";
        if (filePhoto(item, record.destination, why, record) == Filed::Yes)
            fHost.notReadyReport().forget(record.photoPath());
    }
}

void ResultFiling::handleNotification_UploadSuccess(const Notification& note)
{
    logInside("AppController", "handleNotification_UploadSuccess:");
    const char* op = "handleNotification_UploadSuccess:";
    if (auto item = note.info<UploadItemInfo>()) {
        if (auto result = note.info<UploadResultInfo>(); result && result->httpStatusCode)
            TransportBackoff::reset();
        if (hasItemPaths(*item, op))
            filePhoto(*item, Destination::MirrorSiteFolder, "uploaded");
    } else {
        ConsoleLog::write("Uknown Item to handle as success?????\n\n");
    }
    fHost.notificationCenter().post(cNotification_CleanUpAfterUpload, fHost.notificationSender(), note.userInfo);
}

void ResultFiling::handleNotification_UploadFail(const Notification& note)
{
    logInside("AppController", "handleNotification_UploadFail:");
    const char* op = "handleNotification_UploadFail:";
    fHost.presenter().ibUpdateUploadStatusTextField("");
    auto show = [this](const std::string& text, bool isError = true) {
        fHost.presenter().ibUpdateFTPCallbackStatusTextField(text, isError);
        fHost.presenter().ibUpdateUploadStatusTextField(text);
    };
    bool halt = false;
    auto result = note.info<UploadResultInfo>();
    if (!result) {
        ConsoleLog::writef("Unknown Class Type Found: [%s] with the info:\n", note.name.c_str());
    } else {
        if (result->httpStatusCode)
            TransportBackoff::reset();
        const bool otherStatusCode = result->httpStatusCode && *result->httpStatusCode != 200;
        const bool noEmailAddresses = result->httpStatusCode && !otherStatusCode &&
            (!result->httpOurCustomMessage ||
             strcasecmp(result->httpOurCustomMessage->c_str(), "No Email Addresses Sent") == 0);
        const bool warning =
            result->httpOurCustomStatus && strcasecmp(result->httpOurCustomStatus->c_str(), "Warning") == 0;
        // Where the photo goes is known now; it is recorded before the waits below.
        std::optional<AcceptanceJournal::Record> aside;
        if ((otherStatusCode || noEmailAddresses || warning) && !result->localRootFolder.empty() &&
            !result->localItem.empty())
            aside = recordDecision(*result, Destination::ProblemFolder);
        if (result->httpError) {
            const std::string& description = result->httpError->localizedDescription;
            ConsoleLog::writef("Error logged as:\n%s\n\n", description.c_str());
            if (result->cutOffByWatchdog && !result->httpStatusCode) {
                // The service was reached but this photo stalled it: not a reason to
                // hold the others back. Its own pause, if any, is set already.
                ConsoleLog::writef("The upload of [%s] was cut off by the watchdog", result->edFileName.c_str());
                fHost.presenter().ibUpdateUploadStatusTextField(description);
            } else if (!result->httpStatusCode) {
                // The service was not reached: wait longer each time it stays so.
                const int delay = TransportBackoff::nextDelaySeconds();
                const auto next = std::chrono::system_clock::now() + std::chrono::seconds(delay);
                const std::string retry =
                    "Next attempt at " + clockText(next, "%H:%M:%S") + " (in " + std::to_string(delay) + " s)";
                ConsoleLog::writef("The web service cannot be reached; %s", retry.c_str());
                fHost.presenter().ibUpdateUploadStatusTextField(description);
                fHost.presenter().ibUpdateFTPCallbackStatusTextField(description + "\n" + retry, true);
                fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(delay));
            } else {
                show(description);
                fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(1));
            }
        }
        if (result->httpOurCustomStatus) {
            const std::string& status = *result->httpOurCustomStatus;
            const std::string message = result->httpOurCustomMessage.value_or("");
            if (strcasecmp(status.c_str(), "ERROR") == 0) {
                show(message);
                halt = true;
            } else if (warning) {
                show(message);
            } else if (strcasecmp(status.c_str(), "OK") == 0) {
                show(message, false);
            }
        } else {
            ConsoleLog::write("NO statusString?????");
        }

        const bool file = warning || otherStatusCode || noEmailAddresses;
        if (otherStatusCode) {
            show(stringWithFormat("HTTP Server Returned Status Code: %li", *result->httpStatusCode));
            fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(2));
        } else if (noEmailAddresses) {
            fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(2));
        }
        if (file && hasItemPaths(*result, op)) {
            if (folderOf(Destination::ProblemFolder))
                filePhoto(*result, Destination::ProblemFolder, refusalReason(*result), aside);
            else if (result->httpStatusCode)
                pauseBeforeSendingAgain(*result);
        } else if (!file && (!halt || UserDefaults::standard().boolForKey(PrefKey::DoContinueAfterFailedUpload)) &&
                   result->httpStatusCode && hasItemPaths(*result, op)) {
            // The service answered but kept nothing, and the chain goes on: the
            // photo stays for another try, after its own pause, while the
            // others go on.
            pauseBeforeSendingAgain(*result);
        }
    }

    // Going on.
    UserDefaults& store = UserDefaults::standard();
    if (store.boolForKey(PrefKey::DoContinueAfterFailedUpload)) {
        const double wait = store.doubleForKey(PrefKey::DoContinueAfterFailedUploadSecs);
        if (wait > 0) {
            fHost.processState().setStartedUploadProcess(false);
            const auto retry =
                std::chrono::system_clock::now() + std::chrono::milliseconds(static_cast<long long>(wait * 1000));
            std::string message = "Upload Failed...";
            if (result && result->httpError)
                message = result->httpError->localizedDescription;
            else if (result && result->httpOurCustomMessage)
                message = *result->httpOurCustomMessage;
            fHost.presenter().ibUpdateFTPCallbackStatusTextField(
                message +
                    stringWithFormat("\nWill Re-Try in %4.2f seconds (at: %s)", wait,
                                     clockText(retry, "%Y-%m-%d %H:%M:%S").c_str()),
                true);
            fHost.stationStatus().retryAt(retry);
            fHost.workerThreads().sleepUnlessStopped(std::chrono::milliseconds(static_cast<long long>(wait * 1000)));
        }
        fHost.processState().completeRequestedPause();
        fHost.notificationCenter().post(cNotification_CleanUpAfterUpload, fHost.notificationSender(), note.userInfo);
        return;
    }
    if (halt) {
        fHost.stationStatus().chainHalted();
        fHost.processState().setStartedUploadProcess(false);
        fHost.forceProcessToPause(fHost.notificationSender());
        return;
    }
    // A pause asked for during the waits above applies to this photo.
    fHost.processState().completeRequestedPause();
    fHost.notificationCenter().post(cNotification_CleanUpAfterUpload, fHost.notificationSender(), note.userInfo);
}
