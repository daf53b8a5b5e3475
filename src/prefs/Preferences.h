#pragma once

#include "platform/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Typed reads of the settings store, each with its fallback. Accessors marked
// "write-back" store their answer when the key has no value in either layer,
// so the key exists from then on. Safe from any thread.
class Preferences {
public:
    Preferences() = delete;

    // The folder settings come with a leading "~" expanded (see isFullFolderPath).
    static std::optional<std::string> getLocalSourceUploadFolder();
    static std::optional<std::string> getLocalMasterMirrorSiteFolder();
    // "Problem Folder" beside the mirror folder; none while the mirror folder is unset.
    static std::optional<std::string> getLocalProblemUploadFolder();
    static std::optional<std::string> getPrefOrvHiResAlternatePath1();
    static std::optional<std::string> getCurUserLoginName();
    static std::optional<std::string> getCurUserLoginPassword();
    static bool getUseEventName();
    static bool getPrefShowPreviewWhenUploading();
    static bool getPrefDeleteEmptyFtpFolders(); // write-back
    static bool getDoAutoSynchronize();         // write-back
    static std::optional<PlistValue> getPrefSecondsBetweenScans();
    static bool getPrefUseDoDeleteOldPhotos(); // write-back
    static std::optional<PlistValue> getPrefDaysOldBeforeDeleting();
    static bool getPrefShowWindowAtStartup();             // write-back
    static bool getPrefAutoQuitAndRelaunchPerIteration(); // write-back
    static bool getPrefDeleteServerItemFirst();           // write-back
    static bool getAutoStartUploadAtStartup();            // write-back
    static std::optional<std::string> getOrvFuseAction();
    static std::optional<std::string> getPrefOrvURL();
    static bool getPrefDoCheckOrders();
    static std::optional<PlistValue> getPrefMinutesForCheckOrders();
    static std::optional<std::string> getPrefCheckHiResOrderFuseAction();
    static std::optional<std::string> getPrefUploadHiResOrderFuseAction();
    static int16_t getPrefSearchPathMethodTag();
    static bool getPrefDoUseOrvHiResAlternatePath1(); // search tag 2 or 3
    static bool getPrefAlwaysSearchOriginalPath();    // search tag 1 or 3
    static bool getPrefAllowRootVolumeSelections();
    static std::optional<std::string> getPrefMetaData();
    static bool getPrefFormBaseIdFromFileName();
    static bool getPrefUploadMovie();
    static int getDaysToSaveLogs();  // 3..90, corrected values are stored
    static float getUploadTimeOut(); // seconds; 500 unless a positive value is set
    static bool getDoRedirectNSLog();
    static bool getPrefDoContinueAfterFailedUpload();
    static double getPrefDoContinueAfterFailedUploadSecs();

    // Whether a folder setting, as the accessors give it, is a full path; a
    // relative one would be taken from wherever the program was started.
    static bool isFullFolderPath(const std::string& path) { return !path.empty() && path[0] == '/'; }

    // The exported keys, in their fixed order (preference files, migration).
    static const std::vector<std::string>& exportedKeys();
};
