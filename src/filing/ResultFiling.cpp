#include "filing/ResultFiling.h"

#include "app/MainThreadPresenter.h"
#include "app/Notifications.h"
#include "app/ProcessState.h"
#include "app/StationStatus.h"
#include "app/UploadChainHost.h"
#include "app/WorkerThreads.h"
#include "filing/TransportBackoff.h"
#include "filing/ZVI_FileManager.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"
#include "scan/PathChecks.h"
#include "upload/UploadResultInfo.h"

#include <chrono>
#include <ctime>
#include <strings.h>
#include <thread>

namespace {

using WhenTaken = ZVI_FileManager::WhenTaken;

// The photo and the movie that belongs to it, from below root into destRoot;
// where the photo arrived, if it did.
std::optional<std::string> movePhotoAndMovie(const UploadItemInfo& item, const std::string& destRoot,
                                             WhenTaken whenTaken)
{
    ConsoleLog::writef("Preparing to Move [%s]/[%s]...", item.localRootFolder.c_str(), item.localItem.c_str());
    auto filedAt = ZVI_FileManager::moveItem(item.localItem, item.localRootFolder, destRoot, whenTaken, false);
    // The lookup tests the movie's own path, so it works with the photo gone.
    if (auto movie = getMatchingExistingMovieFilePath(item.localRootFolder + "/" + item.localItem)) {
        const std::string parent = FileUtil::parentFolder(item.localItem);
        const std::string relative =
            parent == "." ? FileUtil::lastPathComponent(*movie) : parent + "/" + FileUtil::lastPathComponent(*movie);
        ConsoleLog::writef("Preparing to Move [%s]/[%s]...", item.localRootFolder.c_str(), relative.c_str());
        ZVI_FileManager::moveItem(relative, item.localRootFolder, destRoot, whenTaken, false);
    }
    return filedAt;
}

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

} // namespace

void ResultFiling::handleNotification_UploadSuccess(const Notification& note)
{
    logInside("AppController", "handleNotification_UploadSuccess:");
    const char* op = "handleNotification_UploadSuccess:";
    if (auto item = note.info<UploadItemInfo>()) {
        if (auto result = note.info<UploadResultInfo>(); result && result->httpStatusCode)
            TransportBackoff::reset();
        if (hasItemPaths(*item, op)) {
            if (const auto filedAt = movePhotoAndMovie(
                    *item, Preferences::getLocalMasterMirrorSiteFolder().value_or(""), WhenTaken::Overwrite))
                fHost.stationStatus().photoFiled(item->edFileName, *filedAt, "uploaded", true);
        }
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
    bool moveAside = false;
    auto result = note.info<UploadResultInfo>();
    if (!result) {
        ConsoleLog::writef("Unknown Class Type Found: [%s] with the info:\n", note.name.c_str());
    } else {
        if (result->httpStatusCode)
            TransportBackoff::reset();
        if (result->httpError) {
            const std::string& description = result->httpError->localizedDescription;
            ConsoleLog::writef("Error logged as:\n%s\n\n", description.c_str());
            if (!result->httpStatusCode) {
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
            } else if (strcasecmp(status.c_str(), "Warning") == 0) {
                show(message);
                moveAside = true;
            } else if (strcasecmp(status.c_str(), "OK") == 0) {
                show(message, false);
            }
        } else {
            ConsoleLog::write("NO statusString?????");
        }

        bool file = moveAside;
        if (result->httpStatusCode && *result->httpStatusCode != 200) {
            show(stringWithFormat("HTTP Server Returned Status Code: %li", *result->httpStatusCode));
            fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(2));
            file = true;
        } else if (result->httpStatusCode &&
                   (!result->httpOurCustomMessage ||
                    strcasecmp(result->httpOurCustomMessage->c_str(), "No Email Addresses Sent") == 0)) {
            fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(2));
            file = true;
        }
        if (file && hasItemPaths(*result, op)) {
            if (auto problemFolder = Preferences::getLocalProblemUploadFolder()) {
                // A name already taken there must not keep the photo in the source folder forever.
                if (const auto filedAt = movePhotoAndMovie(*result, *problemFolder, WhenTaken::KeepBoth))
                    fHost.stationStatus().photoFiled(result->edFileName, *filedAt, refusalReason(*result), false);
            }
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
