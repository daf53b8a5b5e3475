#pragma once

#include "app/MaintenanceProgress.h"
#include "app/StatusPresenter.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// Front of the status window for every thread: each call is handed to the
// main thread and returns at once, so a worker never blocks on the window and
// never touches it. Calls from one thread reach the window in their order.
// Calls still queued when the wrapper goes away are dropped. It also opens
// the maintenance progress windows of the order check and the cleanup.
class MainThreadPresenter : public MaintenanceProgress {
public:
    // presenter must outlive the wrapper; create it on the main thread.
    explicit MainThreadPresenter(StatusPresenter& presenter);
    ~MainThreadPresenter() override;
    MainThreadPresenter(const MainThreadPresenter&) = delete;
    MainThreadPresenter& operator=(const MainThreadPresenter&) = delete;

    // A status line; shown only while the status window is visible.
    void ibUpdateTextField(StatusPresenter::Field field, const std::string& text, bool isError = false);
    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError = false);
    void ibUpdateUploadStatusTextField(const std::string& text);
    void ibUpdateFileNameField(const std::string& text);
    // "YES" (any case) starts the bar; any other text stops it.
    void ibUpdateProgressBar(const std::string& yesOrNo);
    // Either part may be left as it is.
    void setPauseResumeButton(const std::optional<std::string>& title, std::optional<bool> enabled);
    void beep();
    void showPreview(const std::string& photoPath);
    void showFiled(const std::string& photo, const std::string& destination, const std::string& why, bool toMirror);
    void showUploadProgress(const std::string& photo, int64_t sent, int64_t total, double bytesPerSecond);
    // Told of every status line shown as an error, on the calling thread,
    // before the window shows it. Set once, before any other thread calls.
    void setErrorObserver(std::function<void(const std::string&)> observer) { fErrorObserver = std::move(observer); }
    // Anything else the window offers, run on the main thread.
    void perform(std::function<void(StatusPresenter&)> fn);

    std::unique_ptr<MaintenanceWindow> openMaintenanceWindow() override;

    // Shared with the maintenance windows, which may outlive the wrapper.
    struct Channel;

private:
    std::shared_ptr<Channel> fChannel;
    std::function<void(const std::string&)> fErrorObserver;
};
