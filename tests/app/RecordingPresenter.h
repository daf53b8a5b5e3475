#pragma once

#include "app/StatusPresenter.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// A status window that remembers what it was told to show.
class RecordingPresenter : public StatusPresenter {
public:
    void updateTextField(Field field, const std::string& text, bool isError) override
    {
        std::lock_guard lock(fMutex);
        fFields[field] = text;
        fErrors[field] = isError;
    }
    void setToolTip(Field, const std::string&) override { }
    void updateProgressBar(bool running) override { progressRunning = running; }
    void setPauseResumeButtonTitle(const std::string& title) override
    {
        std::lock_guard lock(fMutex);
        fButtonTitle = title;
    }
    void setPauseResumeButtonEnabled(bool enabled) override { buttonEnabled = enabled; }
    void setOpenPrefButtonEnabled(bool enabled) override { prefButtonEnabled = enabled; }
    void beep() override { beeps.fetch_add(1); }
    void showAlert(const std::string& title, const std::string&, const std::string&) override
    {
        std::lock_guard lock(fMutex);
        fAlerts.push_back(title);
    }
    bool isStatusWindowVisible() const override { return true; }
    void bringStatusWindowToFront() override { }
    bool hasLoginPanel() const override { return false; }
    void closeLoginPanel() override { }
    void openPreferencePanel() override { preferencePanelOpened.fetch_add(1); }
    void showCodeFieldInsteadOfPassword(bool useCodeField) override { codeField = useCodeField; }
    void showPreview(const std::string& path) override
    {
        std::lock_guard lock(fMutex);
        fPreview = path;
    }
    void openMaintenanceWindow(int window) override { recordMaintenance(window, "opened"); }
    void setMaintenanceWindowTitle(int window, const std::string& title) override
    {
        recordMaintenance(window, "title: " + title);
    }
    void updateMaintenanceLine1(int window, const std::string& text) override
    {
        recordMaintenance(window, "line 1: " + text);
    }
    void updateMaintenanceLine2(int window, const std::string& text) override
    {
        recordMaintenance(window, "line 2: " + text);
    }
    void updateMaintenanceProgressBar(int window, bool running) override
    {
        recordMaintenance(window, running ? "bar started" : "bar stopped");
    }
    void closeMaintenanceWindow(int window) override { recordMaintenance(window, "closed"); }
    // Every maintenance window call in arrival order, as "window 1 line 1: text".
    std::vector<std::string> maintenanceCalls() const
    {
        std::lock_guard lock(fMutex);
        return fMaintenance;
    }

    // The titles of the alerts shown, in order.
    std::vector<std::string> alerts() const
    {
        std::lock_guard lock(fMutex);
        return fAlerts;
    }

    std::string preview() const
    {
        std::lock_guard lock(fMutex);
        return fPreview;
    }

    std::string field(Field f) const
    {
        std::lock_guard lock(fMutex);
        auto it = fFields.find(f);
        return it == fFields.end() ? std::string() : it->second;
    }
    bool fieldIsError(Field f) const
    {
        std::lock_guard lock(fMutex);
        auto it = fErrors.find(f);
        return it != fErrors.end() && it->second;
    }
    std::string buttonTitle() const
    {
        std::lock_guard lock(fMutex);
        return fButtonTitle;
    }

    std::atomic<int> beeps{0};
    std::atomic<int> preferencePanelOpened{0};
    std::atomic<bool> progressRunning{false};
    std::atomic<bool> buttonEnabled{true};
    std::atomic<bool> prefButtonEnabled{true};
    std::atomic<bool> codeField{false};

private:
    void recordMaintenance(int window, const std::string& what)
    {
        std::lock_guard lock(fMutex);
        fMaintenance.push_back("window " + std::to_string(window) + " " + what);
    }

    mutable std::mutex fMutex;
    std::map<Field, std::string> fFields;
    std::map<Field, bool> fErrors;
    std::string fButtonTitle;
    std::string fPreview;
    std::vector<std::string> fAlerts;
    std::vector<std::string> fMaintenance;
};
