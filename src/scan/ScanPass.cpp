#include "scan/ScanPass.h"

#include "app/MainThreadPresenter.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ProcessState.h"
#include "app/ScanRequestInfo.h"
#include "app/UploadChainHost.h"
#include "app/WorkerThreads.h"
#include "filing/AcceptanceJournal.h"
#include "filing/PhotoRetryPauses.h"
#include "filing/ResultFiling.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/NotificationCenter.h"
#include "platform/TextUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"
#include "scan/ExifImage.h"
#include "scan/NotReadyReport.h"
#include "scan/PathChecks.h"
#include "scan/PhotoDates.h"
#include "scan/PhotoMetaData.h"
#include "scan/ScanVerdictCache.h"
#include "scan/SettleTracker.h"
#include "scan/UploadItemInfo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gDoQuarnel{true};

std::optional<PlistValue> readMetaData(const std::string& path)
{
    auto meta = getQuonMetaDataFromPng(path);
    return meta ? meta : getQuonMetaDataFromJpeg(path);
}

const std::string* stringEntry(const PlistValue& dict, const char* key)
{
    const PlistValue* value = dict.find(key);
    return value ? value->asString() : nullptr;
}

std::string formatLocal(PhotoDate date)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Entries of one folder in the order operators are used to.
ScanVerdictCache::Listing sortedEntries(const std::string& folder, std::string* error)
{
    ScanVerdictCache::Listing entries;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        *error = std::strerror(errno);
        return entries;
    }
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDirectory = d->d_type == DT_DIR;
        bool isLink = d->d_type == DT_LNK;
        if (d->d_type == DT_UNKNOWN) {
            struct stat st { };
            const bool known = ::lstat((folder + "/" + name).c_str(), &st) == 0;
            isDirectory = known && S_ISDIR(st.st_mode);
            isLink = known && S_ISLNK(st.st_mode);
        }
        entries.push_back({name, isDirectory, isLink});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return ScanVerdictCache::comesBefore(a.name, b.name); });
    return entries;
}

} // namespace

bool ScanPass::doQuarnel() { return gDoQuarnel; }
void ScanPass::resetDoQuarnel() { gDoQuarnel = true; }

bool ScanPass::loginMayUploadWithoutMetaData(const std::string& login)
{
    for (const char* name : {"sorumaki", "splatterwonk", "fernbridle", "dreel"})
        if (TextUtil::equalsIgnoringCase(login, name))
            return true;
    return false;
}

std::optional<std::string> ScanPass::descriptionForFuseAction(const std::string& fuseAction)
{
    static const std::pair<const char*, const char*> table[] = {
        {"upload.quarnel", "From Quarnel 2010 Event."},         {"upload.vusk", "From Vusk Miami 2010 Event."},
        {"upload.pellam", "From Pellam 2010 Event."},           {"upload.orbiq", "From ORBIQ 2010."},
        {"upload.tavoranmelk", "From TavoranMelk 2010 Event."}, {"upload.zudo", "From Halvo Brackfest 2011 Event."},
    };
    for (const auto& [action, description] : table)
        if (fuseAction == action)
            return std::string(description);
    return std::nullopt;
}

std::string ScanPass::getBaseIDFromFileName(const std::string& path)
{
    const std::string base = TextUtil::trimmed(FileUtil::pathWithoutExtension(FileUtil::lastPathComponent(path)));
    if (const auto underscore = base.find('_'); underscore != std::string::npos)
        return base.substr(0, underscore);
    if (const auto space = base.find(' '); space != std::string::npos)
        return base.substr(0, space);
    return base;
}

void ScanPass::endPass()
{
    fHost.processState().setIsScanningFolder(false);
    if (gNeedsToRescan != 0)
        fHost.workerThreads().startNext("rescan request", [host = &fHost] { host->openFileOnMainThread(); });
}

void ScanPass::run(const Notification& note)
{
    // Guards.
    if (!fHost.processState().beginScanningFolder()) {
        ConsoleLog::writef("\n ******** Already Started a scanning process  [%i] *******\n\n", gNeedsToRescan.load());
        return;
    }
    if (gStartedUploadProcess) {
        ConsoleLog::write(
            "Cannot Scan Folder Yet - while an upload is still in progress!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n");
        fHost.processState().setIsScanningFolder(false);
        return;
    }
    if (gDidHaltProcess) {
        fHost.presenter().ibUpdateFTPCallbackStatusTextField(
            "Process Halted... Click Resume If You Wish To Continue...");
        fHost.processState().setIsScanningFolder(false);
        return;
    }
    auto request = note.info<ScanRequestInfo>();
    if (!request) {
        fHost.presenter().ibUpdateFTPCallbackStatusTextField(
            "BAD Internal ERROR!!!!! No Info To Start Scan of Folder...", true);
        fHost.processState().setIsScanningFolder(false);
        return;
    }
    // The pass works on its own copy; the clean-up handlers empty the original.
    const ScanRequestInfo scan = *request;
    const char* missing = scan.localRootFolder.empty()
        ? "Unable to determine root folder to start the enumeration process..."
        : scan.localMirrorFolder.empty() ? "Unable to determine dest folder to start the enumeration process..."
                                         : nullptr;
    if (missing) {
        ConsoleLog::writef("Passed Note:\n%s\n\n", scan.describe().c_str());
        ConsoleLog::write(missing);
        fHost.processState().setIsScanningFolder(false);
        return;
    }
    ConsoleLog::writef("RootFolder name is: [%s]", scan.localRootFolder.c_str());
    // Photos the service has answered but a killed or failed filing left
    // behind are filed as recorded before anything else is sent.
    AcceptanceJournal::shared().ensureOpen();
    ResultFiling(fHost).fileJournalPending();

    fLoginName = Preferences::getCurUserLoginName().value_or("");
    ReadinessCheck::Settings settings;
    settings.formBaseIdFromFileName = Preferences::getPrefFormBaseIdFromFileName();
    settings.uploadMovie = Preferences::getPrefUploadMovie();
    settings.mayUploadWithoutMetaData = loginMayUploadWithoutMetaData(fLoginName);
    NotReadyReport& report = fHost.notReadyReport();
    SettleTracker& tracker = fHost.settleTracker();
    ScanVerdictCache& cache = fHost.scanVerdictCache();
    fReadiness.emplace(tracker, settings, &cache);
    report.beginPass();
    tracker.beginPass();
    cache.beginPass();
    cache.useRunsFor(uint64_t(settings.formBaseIdFromFileName) | uint64_t(settings.uploadMovie) << 1 |
                     uint64_t(settings.mayUploadWithoutMetaData) << 2);
    gatherHeldPhotos();

    Candidate photo;
    const bool found = scanFolder(scan.localRootFolder, "", scan.localMirrorFolder, photo);
    if (fLookAgainIn) // a little after the moment, so the file has surely settled by then
        fHost.requestScanAfter(*fLookAgainIn + std::chrono::milliseconds(50));
    if (!found) {
        report.endCompletePass();
        tracker.endCompletePass();
        cache.endCompletePass();
        ConsoleLog::write("No more images to upload...");
        fHost.presenter().ibUpdateFTPCallbackStatusTextField("");
        nothingFound(note, scan.localRootFolder);
        return;
    }
    fHost.presenter().ibUpdateFTPCallbackStatusTextField("");

    // A photo still being written may have lost its block since the enumeration:
    // what the check read serves only while the photo is as it was then.
    // This read also serves the item's fields below.
    std::shared_ptr<const ExifImage> exif;
    std::optional<PlistValue> meta;
    if (fChosen && fChosen->readIdentity && SettleTracker::Identity::ofPath(photo.fullPath) == fChosen->readIdentity) {
        meta = std::move(fChosen->metaData);
        exif = std::move(fChosen->exif);
    } else {
        meta = readMetaData(photo.fullPath);
    }
    if (!meta && !loginMayUploadWithoutMetaData(fLoginName)) {
        ConsoleLog::writef("File is NOT ready for upload yet (no embedded metadata): [%s]", photo.fullPath.c_str());
        report.note(photo.fullPath, "no embedded metadata");
        fHost.workerThreads().sleepUnlessStopped(std::chrono::seconds(1));
        fHost.processState().setIsScanningFolder(false);
        fHost.processState().setNeedsToRescan(1);
        // Nothing else may come back for this photo (the watcher may not be
        // installed yet), so the rescan timer does.
        fHost.doSetupRetriggerTimerOnMainThread();
        return;
    }

    auto item = std::make_shared<UploadItemInfo>();
    item->userEnteredEventName = scan.userEnteredEventName;

    // Client name.
    if (const auto fuse = Preferences::getOrvFuseAction())
        gDoQuarnel = !TextUtil::equalsIgnoringCase(*fuse, "upload.upload");
    const bool quarnel = gDoQuarnel;
    if (quarnel)
        item->userEnteredClientName = FileUtil::pathWithoutExtension(FileUtil::lastPathComponent(photo.fullPath));
    if (settings.formBaseIdFromFileName) {
        item->userEnteredClientName = getBaseIDFromFileName(photo.fullPath);
    } else if (!quarnel) {
        const std::string parent = FileUtil::parentFolder(photo.relativePath);
        item->userEnteredClientName = parent == "." ? std::string() : FileUtil::lastPathComponent(parent);
    }

    // Photo file and date.
    if (!FileUtil::exists(photo.fullPath)) {
        ConsoleLog::writef("WHAT???? FILE is LOST or Missing????? [%s]\n\n", photo.fullPath.c_str());
        nothingFound(note, scan.localRootFolder);
        return;
    }
    const auto date = GetAndUpdateFileCreationDate(photo.fullPath, true, false, exif.get());
    if (!date) {
        nothingFound(note, scan.localRootFolder);
        return;
    }
    std::string captureTime = formatLocal(*date);

    // Description and fuse action.
    const auto prefMetaData = Preferences::getPrefMetaData();
    const auto prefFuse = Preferences::getOrvFuseAction();
    item->edMetaData = prefMetaData.value_or("");
    const std::string fuseAction = prefFuse.value_or("upload.upload");
    if (!prefMetaData && prefFuse)
        if (auto description = descriptionForFuseAction(fuseAction))
            item->edMetaData = *description;

    // E-mail addresses and contact block, from the Exif form of the block only.
    if (!TextUtil::equalsIgnoringCase(fuseAction, "upload.upload")) {
        if (auto block =
                exif ? getQuonMetaDataFromJpeg(*exif, photo.fullPath) : getQuonMetaDataFromJpeg(photo.fullPath)) {
            if (const PlistValue* quandro = block->find("ZV_quandroInfo"); quandro && quandro->isDictionary())
                item->edQuandroInfo = *quandro;
            if (const PlistValue* emails = block->find("ZV_emailsForUpload");
                emails && emails->asArray() && !emails->asArray()->empty()) {
                std::string text;
                const auto& list = *emails->asArray();
                for (size_t i = 0; i < list.size() && i < 4; ++i) {
                    const std::string one = list[i].asString() ? *list[i].asString() : list[i].describe();
                    text = i == 0 ? one : text + "," + one;
                }
                item->edEmails = text;
            }
        }
    }

    // Fields of the block.
    bool hasSitting = false;
    if (meta) {
        if (const std::string* original = stringEntry(*meta, "OriginalPath"))
            item->edOriginalPath = *original;
        if (const PlistValue* sitting = meta->find("SittingInfoDictionary"); sitting && sitting->isDictionary()) {
            hasSitting = true;
            item->edSittingInfoDictionary = *sitting;
            if (const std::string* when = stringEntry(*sitting, "capturetime"))
                captureTime = *when;
        } else if (prefFuse && TextUtil::equalsIgnoringCase(*prefFuse, "upload.fernbridle")) {
            ConsoleLog::writef("WARNING: fuse action upload.fernbridle needs the sitting information, which [%s] lacks",
                               photo.fullPath.c_str());
        }
        if (const std::string* kiosk = stringEntry(*meta, "ZV_kioskStation"))
            item->edKioskStation = *kiosk;
        if (const std::string* muxed = stringEntry(*meta, "ZV_muxedMovieName"))
            item->edMuxedMovieName = muxedMovieFilePath(photo.fullPath, *muxed);
    } else if (!TextUtil::equalsIgnoringCase(fLoginName, "sorumaki") &&
               !TextUtil::equalsIgnoringCase(fLoginName, "fernbridle") &&
               !TextUtil::equalsIgnoringCase(fLoginName, "dreel")) {
        for (int i = 0; i < 3; ++i)
            ConsoleLog::writef("WARNING: [%s] has no embedded metadata and may not be completely written yet",
                               photo.fullPath.c_str());
    }
    if (!hasSitting && TextUtil::equalsIgnoringCase(fLoginName, "fernbridle")) {
        const std::string baseId = getBaseIDFromFileName(photo.fullPath);
        if (baseId.empty())
            ConsoleLog::writef("ERROR: cannot form a sitting id from the file name of [%s]", photo.fullPath.c_str());
        else
            item->edSittingInfoDictionary = PlistValue::dictionary({{"sittingid", PlistValue::string(baseId)}});
    }

    // Build and post.
    item->localMirrorFolder = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    item->localRootFolder = Preferences::getLocalSourceUploadFolder().value_or("");
    item->localItem = photo.relativePath;
    item->edUser = fHost.currentUserName();
    item->edPasswd = fHost.currentPassword();
    item->edFileName = photo.fullPath;
    item->edClientName = item->userEnteredClientName.value_or("");
    item->edEventName = scan.userEnteredEventName;
    item->edCaptureTime = captureTime;
    item->edOrvFuseAction = fuseAction;
    ConsoleLog::writef("Upload item: %s", item->describe().c_str());
    fHost.notificationCenter().post(cNotification_PrepareUploadStart, fHost.notificationSender(), item);
    endPass();
}

bool ScanPass::scanFolder(const std::string& root, const std::string& relative, const std::string& mirror,
                          Candidate& found)
{
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    ScanVerdictCache& cache = fHost.scanVerdictCache();
    // Watched before it is listed, so a change after the listing leaves a note.
    struct stat status { };
    std::shared_ptr<const ScanVerdictCache::Listing> entries;
    const bool known = ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    if (known)
        entries = cache.beginFolder(folder, status);
    std::string error;
    if (!entries) {
        auto listed = std::make_shared<ScanVerdictCache::Listing>(sortedEntries(folder, &error));
        if (known && error.empty())
            cache.rememberListing(folder, status, listed);
        entries = std::move(listed);
    }
    if (!error.empty() && fUnreadableFolder.empty()) {
        // A folder that cannot be listed hides its photos: said, not taken for an empty one.
        fUnreadableFolder = folder + " (" + error + ")";
        ConsoleLog::writef("The folder [%s] cannot be read: %s; its photos wait until it can", folder.c_str(),
                           error.c_str());
    }
    // Runs of waiting files are passed over as a whole, except where every
    // look at a file is logged (files directly in the source folder).
    const bool withRuns = !relative.empty() || fReadiness->settings().formBaseIdFromFileName;
    const ScanVerdictCache::WaitingRuns runs = withRuns ? cache.runsOf(folder) : ScanVerdictCache::WaitingRuns{};
    size_t nextRun = 0;
    RunInHand inHand;
    for (size_t at = 0; at < entries->size();) {
        const ScanVerdictCache::ListedEntry& entry = (*entries)[at];
        // A run not met where it begins no longer matches the listing.
        while (nextRun < runs.size() && ScanVerdictCache::comesBefore(runs[nextRun]->first, entry.name))
            cache.dropRun(folder, runs[nextRun++]);
        if (nextRun < runs.size() && runs[nextRun]->first == entry.name) {
            const auto& run = runs[nextRun++];
            if (passOver(folder, *entries, at, *run)) {
                finishRun(folder, inHand);
                at += run->count;
                continue;
            }
            cache.dropRun(folder, run);
        }
        ++at;
        const std::string childRelative = relative.empty() ? entry.name : relative + "/" + entry.name;
        const std::string childFull = root + "/" + childRelative;
        if (entry.isDirectory) {
            finishRun(folder, inHand);
            // Mirror the client folders as they are met; failures are retried next pass.
            struct stat st { };
            const mode_t mode = ::stat(childFull.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0755;
            ::mkdir((mirror + "/" + childRelative).c_str(), mode);
            if (scanFolder(root, childRelative, mirror, found))
                return true;
            continue;
        }
        bool lasting = false;
        if (isReady(childRelative, childFull, entry.isLink, withRuns ? &inHand : nullptr, lasting)) {
            finishRun(folder, inHand);
            found = {childRelative, childFull};
            return true;
        }
        if (!lasting)
            finishRun(folder, inHand);
    }
    finishRun(folder, inHand);
    return false;
}

bool ScanPass::passOver(const std::string& folder, const ScanVerdictCache::Listing& entries, size_t at,
                        ScanVerdictCache::WaitingRun& run)
{
    if (run.count == 0 || at + run.count > entries.size() || entries[at + run.count - 1].name != run.last)
        return false;
    // A photo that a pause or an answered upload holds is looked at on its own.
    const std::string prefix = folder + "/";
    for (auto it = std::lower_bound(fHeld.begin(), fHeld.end(), prefix);
         it != fHeld.end() && it->compare(0, prefix.size(), prefix) == 0; ++it) {
        const std::string name = it->substr(prefix.size());
        if (name.find('/') == std::string::npos && run.holds(name))
            return false;
    }
    if (!run.noted || !fHost.notReadyReport().noteAgain(*run.noted))
        return false;
    fHost.scanVerdictCache().passOver(run);
    return true;
}

void ScanPass::finishRun(const std::string& folder, RunInHand& inHand)
{
    // A run of one costs as much to pass over as to look at.
    if (inHand.paths.size() >= 2) {
        inHand.run->count = inHand.paths.size();
        inHand.run->last = FileUtil::lastPathComponent(inHand.paths.back());
        fHost.scanVerdictCache().rememberRun(folder, std::move(inHand.run), inHand.paths);
        inHand = RunInHand{};
    } else if (!inHand.paths.empty()) {
        inHand = RunInHand{};
    }
}

void ScanPass::gatherHeldPhotos()
{
    fHeld.clear();
    PhotoRetryPauses& pauses = fHost.photoRetryPauses();
    for (std::string& photo : pauses.photos())
        if (!pauses.mayBeSentNow(photo).maySend)
            fHeld.push_back(std::move(photo));
    for (const AcceptanceJournal::Record& record : AcceptanceJournal::shared().pending())
        fHeld.push_back(record.photoPath());
    std::sort(fHeld.begin(), fHeld.end());
}

bool ScanPass::isReady(const std::string& relative, const std::string& full, bool isLink, RunInHand* inHand,
                       bool& lasting)
{
    // A photo that waits its own pause before it is sent (or filed) again is
    // passed over; the others go on meanwhile.
    ReadinessCheck::Verdict verdict;
    if (const PhotoRetryPauses::Answer pause = fHost.photoRetryPauses().mayBeSentNow(full); !pause.maySend) {
        verdict.kind = ReadinessCheck::Kind::Waiting;
        verdict.reason = pause.reason;
        if (pause.wait > ReadinessCheck::Duration::zero())
            verdict.lookAgainIn = pause.wait;
    } else if (!isLink && AcceptanceJournal::shared().pendingFor(full)) {
        // Answered already (before a kill): never sent again; it is filed at the next pass.
        if (fHost.notReadyReport().note(full, "answered by the web service; waiting to be filed"))
            fHost.presenter().ibUpdateFTPCallbackStatusTextField(
                "Cannot file " + relative + " yet (answered by the web service); see the log", true);
        return false;
    } else {
        verdict = fReadiness->check(relative, full, isLink);
    }
    if (verdict.lookAgainIn && (!fLookAgainIn || *verdict.lookAgainIn < *fLookAgainIn))
        fLookAgainIn = verdict.lookAgainIn;
    std::shared_ptr<NotReadyReport::Group> group;
    if (inHand && verdict.lasting && verdict.kind != ReadinessCheck::Kind::Ready) {
        lasting = true;
        if (!inHand->run) {
            inHand->run = std::make_shared<ScanVerdictCache::WaitingRun>();
            inHand->run->noted = std::make_shared<NotReadyReport::Group>();
            inHand->run->first = FileUtil::lastPathComponent(full);
        }
        inHand->paths.push_back(full);
        if (!verdict.awaitedMovie.empty())
            inHand->run->awaitedMovies.push_back(verdict.awaitedMovie);
        group = inHand->run->noted;
    }
    NotReadyReport& report = fHost.notReadyReport();
    switch (verdict.kind) {
        case ReadinessCheck::Kind::NotAPhoto: return false;
        case ReadinessCheck::Kind::Waiting:
            // Told once, not on every pass.
            if (report.note(full, verdict.reason, group)) {
                ConsoleLog::writef("Not ready for upload yet: [%s] (%s)", full.c_str(), verdict.reason.c_str());
                fHost.presenter().ibUpdateFTPCallbackStatusTextField("Not ready yet: " + relative + " (" +
                                                                     verdict.reason + ")");
            }
            return false;
        case ReadinessCheck::Kind::Ready:
            report.forget(full);
            fChosen = std::move(verdict);
            return true;
    }
    return false;
}

void ScanPass::nothingFound(const Notification& note, const std::string& folder)
{
    ConsoleLog::write("Scanning done - NO File found for uploading...");
    fHost.presenter().ibUpdateUploadStatusTextField("Done With Iteration...");
    AcceptanceJournal::shared().flush(); // idle: the last decisions go to the disk
    // Photos left behind are named with their reasons, not hidden behind "waiting".
    const std::string waiting = fHost.notReadyReport().summary();
    if (!waiting.empty())
        ConsoleLog::write(waiting);
    if (!fUnreadableFolder.empty())
        fHost.presenter().ibUpdateFTPCallbackStatusTextField(
            "The folder " + fUnreadableFolder + " cannot be read; its photos wait until it can", true);
    else
        fHost.presenter().ibUpdateFTPCallbackStatusTextField(waiting.empty() ? "Waiting For New Images..." : waiting);
    fHost.workerThreads().start("folder watcher", [host = &fHost, folder] { host->doWatchFolderInThread(folder); });
    fHost.notificationCenter().post(cNotification_CleanUpAfterCompleteLoop, fHost.notificationSender(), note.userInfo);
    fHost.doSetupRetriggerTimerOnMainThread();
    endPass();
}
