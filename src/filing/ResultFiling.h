#pragma once

#include "filing/AcceptanceJournal.h"
#include "filing/PhotoRetryPauses.h"

#include <optional>
#include <string>

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
    // Files the photos the acceptance journal holds as answered but not yet
    // in place (a killed station, a failed move), before anything is sent.
    void fileJournalPending();

private:
    enum class Filed { Yes, No };
    // Writes the answer's decision to the acceptance journal; none when the
    // photo is no longer in the source folder or no such folder is set.
    std::optional<AcceptanceJournal::Record> recordDecision(const UploadItemInfo& item,
                                                            PhotoRetryPauses::Destination destination);
    // why: "uploaded", or why the service refused the photo (for the operator's filed: line).
    Filed filePhoto(const UploadItemInfo& item, PhotoRetryPauses::Destination destination, const std::string& why,
                    std::optional<AcceptanceJournal::Record> record = std::nullopt);
    void pauseBeforeSendingAgain(const UploadResultInfo& result);

    UploadChainHost& fHost;
};
