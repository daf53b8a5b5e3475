#pragma once

#include <cstdint>
#include <string>

// What the operator sees of the process: the status window's lines, its
// progress bar and buttons, alerts and the preferences panel. The desktop
// build shows them in widgets; the headless build writes them to the log.
// Every call is made on the main thread.
class StatusPresenter {
public:
    enum class Field {
        FileName,         // the photo being uploaded
        UploadStatus,     // "Uploading...", "Done With Iteration..."
        ProcessLine,      // the process and reply line ("Process Paused...")
        LoginName,        // login name and service site
        UploadMainPath,   // upload destination
        SourceFolderPath, // the source folder
        Version,
        Copyright,
        MacOSVersion, // the system version line
    };

    virtual ~StatusPresenter() = default;

    virtual void updateTextField(Field field, const std::string& text, bool isError) = 0;
    virtual void setToolTip(Field field, const std::string& text) = 0;
    virtual void updateProgressBar(bool running) = 0;
    virtual void setPauseResumeButtonTitle(const std::string& title) = 0;
    virtual void setPauseResumeButtonEnabled(bool enabled) = 0;
    virtual void setOpenPrefButtonEnabled(bool enabled) = 0;
    virtual void beep() = 0;
    // An application-modal alert with one button.
    virtual void showAlert(const std::string& title, const std::string& message, const std::string& button) = 0;
    virtual bool isStatusWindowVisible() const = 0;
    virtual void bringStatusWindowToFront() = 0;
    // The login panel (shown as the preferences sheet at launch); false when none.
    virtual bool hasLoginPanel() const = 0;
    virtual void closeLoginPanel() = 0;
    virtual void openPreferencePanel() = 0;
    // Shows the photo being uploaded; a photo that cannot be loaded leaves the preview as it was.
    virtual void showPreview(const std::string& photoPath) = 0;
    // The plain-text code field replaces the password field for the code login.
    virtual void showCodeFieldInsteadOfPassword(bool useCodeField) = 0;

    // The maintenance progress windows of the order check and the cleanup;
    // several may be open at once, each known by the number it was opened with.
    virtual void openMaintenanceWindow(int window) = 0;
    virtual void setMaintenanceWindowTitle(int window, const std::string& title) = 0;
    virtual void updateMaintenanceLine1(int window, const std::string& text) = 0;
    virtual void updateMaintenanceLine2(int window, const std::string& text) = 0;
    virtual void updateMaintenanceProgressBar(int window, bool running) = 0;
    virtual void closeMaintenanceWindow(int window) = 0;

    // A photo was filed: where it went and why ("uploaded", or the reason it
    // was refused). A window may ignore it.
    virtual void showFiled(const std::string& /*photo*/, const std::string& /*destination*/, const std::string& /*why*/,
                           bool /*toMirror*/)
    {
    }
    // How far a long upload has come.
    virtual void showUploadProgress(const std::string& /*photo*/, int64_t /*sent*/, int64_t /*total*/,
                                    double /*bytesPerSecond*/)
    {
    }

    // The calls between these two came together (one wake-up of the main
    // thread); a presenter may show them together. They do not nest.
    virtual void beginBurst() { }
    virtual void endBurst() { }
};
