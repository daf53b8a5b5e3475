#pragma once

#include "app/StatusPresenter.h"

// The headless presenter: status lines, progress and alerts become log lines
// beginning with "status:", "progress:" and "alert:". A maintenance window's
// lines carry its number: "progress: window 2 line 1: Deleting Old Photos".
class LoggingStatusPresenter : public StatusPresenter {
public:
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

    static const char* fieldName(Field field);
};
