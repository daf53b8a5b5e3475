// The application controller's side of the upload watchdog: which photos it
// cut off, and the pauses that keep such a photo from holding up the station
// across relaunches.

#include "app/AppController.h"

#include "filing/AcceptanceJournal.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "prefs/Preferences.h"
#include "upload/UploadResultInfo.h"

#include <chrono>

namespace {

// The photo as the operator knows it: its path below the source folder.
std::string shownName(const std::string& photo)
{
    const std::string source = Preferences::getLocalSourceUploadFolder().value_or("");
    if (!source.empty() && photo.size() > source.size() + 1 && photo.compare(0, source.size(), source) == 0 &&
        photo[source.size()] == '/')
        return photo.substr(source.size() + 1);
    return photo;
}

std::string nextAttemptText(PhotoRetryPauses::Clock::duration pause)
{
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(pause);
    return PhotoRetryPauses::clockText(std::chrono::system_clock::now() + seconds) + " (in " +
        std::to_string(seconds.count()) + " s)";
}

} // namespace

void AppController::restorePhotoRetryPauses()
{
    // Beside the acceptance journal, in the state folder.
    const std::string journal = AcceptanceJournal::shared().path();
    fPhotoRetryPausesFile.setPath(PhotoRetryPausesFile::pathBeside(journal));
    fPhotoRetryPauses.setChangeListener(nullptr);
    fPhotoRetryPausesFile.load(fPhotoRetryPauses);
    for (const std::string& photo : fPhotoRetryPauses.photos()) {
        const int inARow = fPhotoRetryPauses.cutOffsInARow(photo);
        if (inARow == 0)
            continue;
        const PhotoRetryPauses::Answer answer = fPhotoRetryPauses.mayBeSentNow(photo);
        ConsoleLog::writef("%s was cut off by the watchdog %d time(s) in a row before this start; %s",
                           shownName(photo).c_str(), inARow,
                           answer.maySend ? "it may be sent now" : answer.reason.c_str());
    }
    // Photos the service took but that could not be filed: their move is tried again when due.
    if (const auto next = fPhotoRetryPauses.nextFilingIn())
        requestFilingRetryAfter(*next);
    // Every later change is written out at once: a relaunch may follow any moment.
    fPhotoRetryPauses.setChangeListener([this] { fPhotoRetryPausesFile.save(fPhotoRetryPauses); });
}

void AppController::startRestoredWatchdogPauses()
{
    // A relaunch, and the wait before this station's first pass, must not use
    // up the pause of the photo that caused it: it would be sent first again.
    if (!fRestoredPausesStarted.exchange(true))
        fPhotoRetryPauses.restartWatchdogPauses();
}

void AppController::uploadCutOffByWatchdog(const std::string& photo, double seconds)
{
    // Written out before the relaunch is asked for (the change listener), so the next start knows it.
    const PhotoRetryPauses::CutOff cutOff = fPhotoRetryPauses.cutOffByWatchdog(photo);
    std::string text = shownName(photo) + " was cut off by the watchdog";
    if (!cutOff.pause) {
        text += stringWithFormat(" (no data moved for %g seconds); it is sent again once", seconds);
    } else {
        text += stringWithFormat(" again (%d times in a row, no data moved for %g seconds); other photos go on; "
                                 "next attempt at ",
                                 cutOff.inARow, seconds) +
            nextAttemptText(*cutOff.pause);
    }
    ConsoleLog::writef("%s [%s]", text.c_str(), photo.c_str());
    fMainThreadPresenter.ibUpdateFTPCallbackStatusTextField(text, true);
}

void AppController::noteUploadAnswered(const Notification& note)
{
    const auto result = note.info<UploadResultInfo>();
    if (!result || !result->httpStatusCode)
        return;
    // Answered, whatever the answer: the photo does not stall the service, so its cut-offs are forgotten.
    const std::string photo = result->edFileName.empty()
        ? FileUtil::joinPath(result->localRootFolder, result->localItem)
        : result->edFileName;
    if (!photo.empty())
        fPhotoRetryPauses.answered(photo);
}
