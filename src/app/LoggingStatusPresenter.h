#pragma once

#include "app/StatusPresenter.h"

#include <functional>
#include <string>

// The headless presenter: the operator's lines. Each is one line beginning
// with "status:", "progress:", "alert:" or "filed:", with no time stamp
// before it, written to standard output (the console log stays on standard
// error). A maintenance window's lines carry its number: "progress: window 2
// line 1: Deleting Old Photos".
class LoggingStatusPresenter : public StatusPresenter {
public:
    using LineSink = std::function<void(const std::string& line)>;
    // sink receives each line without its line break; by default it goes to
    // standard output, the lines of one burst in one write.
    explicit LoggingStatusPresenter(LineSink sink = {});
    ~LoggingStatusPresenter() override;

    void updateTextField(Field field, const std::string& text, bool isError) override;
    void setToolTip(Field field, const std::string& text) override;
    void updateProgressBar(bool running) override;
    void setPauseResumeButtonTitle(const std::string& title) override;
    void setPauseResumeButtonEnabled(bool enabled) override;
    void setOpenPrefButtonEnabled(bool enabled) override;
    void beep() override;
    void showAlert(const std::string& title, const std::string& message, const std::string& button) override;
    bool isStatusWindowVisible() const override { return true; }
    void bringStatusWindowToFront() override { }
    bool hasLoginPanel() const override { return false; }
    void closeLoginPanel() override { }
    void openPreferencePanel() override;
    void showCodeFieldInsteadOfPassword(bool) override { }
    void showPreview(const std::string&) override { }
    void openMaintenanceWindow(int window) override;
    void setMaintenanceWindowTitle(int window, const std::string& title) override;
    void updateMaintenanceLine1(int window, const std::string& text) override;
    void updateMaintenanceLine2(int window, const std::string& text) override;
    void updateMaintenanceProgressBar(int window, bool running) override;
    void closeMaintenanceWindow(int window) override;
    void showFiled(const std::string& photo, const std::string& destination, const std::string& why,
                   bool toMirror) override;
    void showUploadProgress(const std::string& photo, int64_t sent, int64_t total, double bytesPerSecond) override;
    void beginBurst() override { fInBurst = true; }
    void endBurst() override;

    static const char* fieldName(Field field);
    // Writes one line to standard output in a single write.
    static void writeToStandardOutput(const std::string& line);
    // A text of several lines on one: its lines joined with " - ".
    static std::string oneLine(const std::string& text);

private:
    void writeLine(const std::string& line);
    void writeStatusLine(Field field, bool isError, const std::string& text);
    void writePending();

    LineSink fSink; // empty: standard output
    bool fInBurst = false;
    std::string fPending; // lines of the burst for standard output, each with its break
};
