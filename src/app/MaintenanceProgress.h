#pragma once

#include <memory>
#include <string>

// One maintenance progress window, opened by the order check or the cleanup
// while it works: the title and line 1 name the task, line 2 the current
// step, the bar is indeterminate. Any thread may call; no call blocks on the
// main thread. Headless, each call prints a "progress:" line.
class MaintenanceWindow {
public:
    virtual ~MaintenanceWindow() = default;
    virtual void ibSetWindowTitle(const std::string& title) = 0;
    virtual void ibUpdateLine1TextField(const std::string& text) = 0;
    virtual void ibUpdateLine2TextField(const std::string& text) = 0;
    // "YES" (any case) starts and shows the bar; any other text stops and hides it.
    virtual void ibUpdateProgressBar(const std::string& yesOrNo) = 0;
    // Closes the window; later calls are ignored.
    virtual void close() = 0;
};

// Opens maintenance windows. The application hands one to the order check and
// to the cleanup; tests hand in a recording one.
class MaintenanceProgress {
public:
    virtual ~MaintenanceProgress() = default;
    virtual std::unique_ptr<MaintenanceWindow> openMaintenanceWindow() = 0;
};
