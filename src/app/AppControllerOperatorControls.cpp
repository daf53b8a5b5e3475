#include "app/AppController.h"

#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "app/SystemVersion.h"
#include "filing/ResultFiling.h"
#include "filing/ZVI_FileManager.h"
#include "hires/OrderCheck.h"
#include "housekeeping/MessageLog.h"
#include "housekeeping/OldPhotoCleanup.h"
#include "housekeeping/ZVLogFileManager.h"
#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/MainThread.h"
#include "platform/NumberText.h"
#include "platform/TextUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"
#include "remote/AppleEventHandler.h"
#include "remote/CommandSocketServer.h"
#include "scan/ScanPass.h"
#include "scan/UploadItemInfo.h"
#include "upload/HttpController.h"
#include "util/Relaunch.h"
#include "util/ShellScript.h"
#include <QCoreApplication>
#include <cstdio>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>

// The operator's controls of the status window: Synchronize, Pause and Resume,
// and the preferences button.

bool AppController::saveLoginInfo()
{
    if (!validateUserInfoBeforeUploading(std::nullopt)) {
        beep();
        return false;
    }
    ConsoleLog::write("Inside saveLoginInfo");
    getCurrentLoginInfo();
    if (fPresenter.hasLoginPanel())
        fPresenter.closeLoginPanel();
    return true;
}

// ---------------------------------------------------------------- operator controls

void AppController::ibMenuCmd_Open(const void* sender)
{
    ConsoleLog::write("ibMenuCmd_Open");
    ibUserClickedOnSynchronize(sender);
}

void AppController::ibUserClickedOnSynchronize(const void*)
{
    ConsoleLog::write("ibUserClickedOnSynchronize...");
    if (gStartedUploadProcess) {
        ConsoleLog::write("ibUserClickedOnSynchronize - an upload process in progress...");
        beep();
        beep();
        return;
    }
    if (!validateUserInfoBeforeUploading(std::nullopt))
        return;
    if (!saveLoginInfo())
        return;
    const std::string mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    if (!mirror.empty() && !FileUtil::exists(mirror)) {
        const std::string line = "Local Mirror Folder Does NOT Exist:\n" + mirror;
        ConsoleLog::writeRaw(line + "\n");
        MessageLog::LogMessage(line);
        MessageLog::LogMessage("Trying to Create Local Mirror Folder at:\n" + mirror);
        ::mkdir(mirror.c_str(), 0755);
    }
    application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
}

void AppController::ibClickedOnSynchronizeAgain(const void*)
{
    if (gStartedUploadProcess && gDidHaltProcess) {
        ibClickedOnHalt(nullptr);
    } else if (gStartedUploadProcess) {
        ConsoleLog::write("ibClickedOnSynchronizeAgain - an upload process in progress...");
    } else {
        ibUserClickedOnSynchronize(this);
    }
}

bool AppController::resumePausedProcess(const void*)
{
    if (fProcessState.cancelRequestedPause()) {
        // The photo being sent goes on, and so does the chain after it.
        ConsoleLog::write("resumePausedProcess - the pause asked for is withdrawn before it took effect");
        setPauseResumeButton(std::string("Pause"), true);
        ibUpdateFTPCallbackStatusTextField("");
        return true;
    }
    if (!gDidHaltProcess)
        return false;
    // Paused: a photo still being filed leaves gStartedUploadProcess set, and
    // its clean-up then finds the pause gone and starts the next scan.
    ConsoleLog::write("resumePausedProcess - resuming the paused process");
    ibClickedOnHalt(nullptr);
    setPauseResumeButton(std::nullopt, true);
    return true;
}

void AppController::pauseFromAnotherProgram(const void* sender)
{
    if (gStartedUploadProcess || gDidHaltProcess) {
        forceProcessToPause(sender);
        return;
    }
    // Idle: a request that only marks the running upload would let the next
    // photo through, so pause as the Pause button does.
    ConsoleLog::write("pauseFromAnotherProgram - pausing the idle process");
    ibClickedOnHalt(nullptr);
}

void AppController::ibClickedOnHalt(const void* sender)
{
    MessageLog::LogMessage("ibClickedOnHalt\n");
    if (!sender)
        MessageLog::LogMessage("ibClickedOnHalt sender is NIL\n");
    if (gDidHaltProcess) {
        ConsoleLog::write("ibClickedOnHalt gDidHaltProcess is TRUE:\n\n");
        setWantsToHaltProcess(false);
        setDidHaltProcess(false);
        setPauseResumeButton(std::string("Pause"), std::nullopt);
        ibUpdateFTPCallbackStatusTextField("");
        application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
        return;
    }
    ConsoleLog::write("ibClickedOnHalt gDidHaltProcess is FALSE:\n\n");
    if (gStartedUploadProcess) {
        setWantsToHaltProcess(true);
        setPauseResumeButton(std::nullopt, false);
        ibUpdateFTPCallbackStatusTextField("Pausing... Waiting for Current Item to Finish...");
    } else {
        setWantsToHaltProcess(true);
        setDidHaltProcess(true);
        setPauseResumeButton(std::string("Resume"), std::nullopt);
        ibUpdateFTPCallbackStatusTextField("Process Paused...");
    }
}

void AppController::doHandlePauseResumeButtonAsResume(const void*)
{
    if (!gDidHaltProcess)
        return;
    ConsoleLog::write("doHandlePauseResumeButtonAsResume gDidHaltProcess is TRUE:\n\n");
    setWantsToHaltProcess(false);
    setDidHaltProcess(false);
    setPauseResumeButton(std::string("Pause"), true);
    application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
}

void AppController::ibClickedOnOpenPref(const void* sender)
{
    if (fPresenter.isStatusWindowVisible() && gStartedUploadProcess) {
        ibUpdateFTPCallbackStatusTextField("Will Open Pref Panel After Current Item is Finished...");
        fPresenter.setOpenPrefButtonEnabled(false);
        forceProcessToPause(sender);
        startDetachedThread("pause wait", [this, sender] { doWaitForUploadProcessToEndInThread(sender); });
        return;
    }
    doHandleOpenPrefPanel(sender);
}

void AppController::doHandleOpenPrefPanel(const void*)
{
    cancelRetriggerTimer();
    fPresenter.setOpenPrefButtonEnabled(true);
    fPresenter.openPreferencePanel();
}
