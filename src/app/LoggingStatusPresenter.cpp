#include "app/LoggingStatusPresenter.h"

#include "platform/ConsoleLog.h"

const char* LoggingStatusPresenter::fieldName(Field field)
{
    switch (field) {
        case Field::FileName: return "file";
        case Field::UploadStatus: return "upload";
        case Field::ProcessLine: return "process";
        case Field::LoginName: return "login";
        case Field::UploadMainPath: return "upload path";
        case Field::SourceFolderPath: return "source folder";
        case Field::Version: return "version";
        case Field::Copyright: return "copyright";
        case Field::MacOSVersion: return "system";
    }
    return "?";
}

void LoggingStatusPresenter::updateTextField(Field field, const std::string& text, bool isError)
{
    ConsoleLog::writef("status: %s%s: %s", fieldName(field), isError ? " (error)" : "", text.c_str());
}

void LoggingStatusPresenter::setToolTip(Field, const std::string&) { }

void LoggingStatusPresenter::updateProgressBar(bool running)
{
    ConsoleLog::writef("progress: %s", running ? "started" : "stopped");
}

void LoggingStatusPresenter::setPauseResumeButtonTitle(const std::string& title)
{
    ConsoleLog::writef("status: pause button: %s", title.c_str());
}

void LoggingStatusPresenter::setPauseResumeButtonEnabled(bool enabled)
{
    ConsoleLog::writef("status: pause button %s", enabled ? "enabled" : "disabled");
}

void LoggingStatusPresenter::setOpenPrefButtonEnabled(bool enabled)
{
    ConsoleLog::writef("status: preferences button %s", enabled ? "enabled" : "disabled");
}

void LoggingStatusPresenter::beep() { ConsoleLog::write("status: beep"); }

void LoggingStatusPresenter::showAlert(const std::string& title, const std::string& message, const std::string& button)
{
    ConsoleLog::writef("alert: %s %s [%s]", title.c_str(), message.c_str(), button.c_str());
}

void LoggingStatusPresenter::openPreferencePanel()
{
    ConsoleLog::write("status: the preferences panel needs the desktop window; settings can be changed with quon-ctl");
}

void LoggingStatusPresenter::openMaintenanceWindow(int window)
{
    ConsoleLog::writef("progress: window %d opened", window);
}

void LoggingStatusPresenter::setMaintenanceWindowTitle(int window, const std::string& title)
{
    ConsoleLog::writef("progress: window %d title: %s", window, title.c_str());
}

void LoggingStatusPresenter::updateMaintenanceLine1(int window, const std::string& text)
{
    ConsoleLog::writef("progress: window %d line 1: %s", window, text.c_str());
}

void LoggingStatusPresenter::updateMaintenanceLine2(int window, const std::string& text)
{
    ConsoleLog::writef("progress: window %d line 2: %s", window, text.c_str());
}

void LoggingStatusPresenter::updateMaintenanceProgressBar(int window, bool running)
{
    ConsoleLog::writef("progress: window %d bar %s", window, running ? "started" : "stopped");
}

void LoggingStatusPresenter::closeMaintenanceWindow(int window)
{
    ConsoleLog::writef("progress: window %d closed", window);
}
