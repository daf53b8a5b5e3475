#pragma once

#include "platform/NotificationCenter.h"
#include "platform/PlistValue.h"
#include "scan/NotReadyReport.h"
#include "scan/ReadinessCheck.h"
#include "scan/ScanVerdictCache.h"

#include <optional>
#include <string>
#include <vector>

class UploadChainHost;
class ScanRequestInfo;

// One pass over the source folder: picks the first photo that is ready,
// builds its upload item and hands it to the upload chain; or, when none is
// ready, says so and lets the watcher and the rescan timer wait for more.
// Runs on the pass's own scan thread.
class ScanPass {
public:
    explicit ScanPass(UploadChainHost& host) : fHost(host) { }

    void run(const Notification& note);

    // The photo's base id: the file name without extension, trimmed, cut at
    // the first "_", else at the first space.
    static std::string getBaseIDFromFileName(const std::string& path);

    // The logins that may upload photos without embedded metadata.
    static bool loginMayUploadWithoutMetaData(const std::string& login);

    // The event description of a fuse action, when the action has one.
    static std::optional<std::string> descriptionForFuseAction(const std::string& fuseAction);

    // Whether the base file name is the client name; kept between passes.
    static bool doQuarnel();
    static void resetDoQuarnel();

private:
    struct Candidate {
        std::string relativePath;
        std::string fullPath;
    };

    // The waiting run a walk through one folder is finding.
    struct RunInHand {
        std::shared_ptr<ScanVerdictCache::WaitingRun> run;
        std::vector<std::string> paths;
    };

    bool scanFolder(const std::string& root, const std::string& relative, const std::string& mirror, Candidate& found);
    // lasting: set when the file was left on a lasting verdict, with the
    // report noting it in inHand's group.
    bool isReady(const std::string& relative, const std::string& full, bool isLink, RunInHand* inHand, bool& lasting);
    // Whether a waiting run of the folder, found at entries[at], still holds,
    // and if so notes it as passed over.
    bool passOver(const std::string& folder, const ScanVerdictCache::Listing& entries, size_t at,
                  ScanVerdictCache::WaitingRun& run);
    void finishRun(const std::string& folder, RunInHand& inHand);
    // Photos whose pause or answered upload holds them, in path order.
    void gatherHeldPhotos();
    void nothingFound(const Notification& note, const std::string& folder);
    void endPass();

    UploadChainHost& fHost;
    // Settings read once per pass.
    std::string fLoginName;
    std::optional<ReadinessCheck> fReadiness;
    // The soonest moment a photo passed over may become ready.
    std::optional<ReadinessCheck::Duration> fLookAgainIn;
    // The first folder of the pass that could not be listed, and why.
    std::string fUnreadableFolder;
    // The check that found the chosen photo ready, with what it read of it.
    std::optional<ReadinessCheck::Verdict> fChosen;
    std::vector<std::string> fHeld;
};
