#include "app/LoggingStatusPresenter.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <cerrno>
#include <unistd.h>

namespace {

void writeAllToStandardOutput(const std::string& text)
{
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // nobody reads the operator's lines: the station goes on all the same
        data += n;
        left -= static_cast<size_t>(n);
    }
}

// True when oneLine would return the text as it is: one line, nothing to trim.
bool isOneLine(const std::string& text)
{
    return text.find('\n') == std::string::npos && (text.empty() || (text.front() != ' ' && text.back() != ' ' &&
                                                                        text.back() != '\r'));
}

} // namespace

LoggingStatusPresenter::LoggingStatusPresenter(LineSink sink) : fSink(std::move(sink)) { }

LoggingStatusPresenter::~LoggingStatusPresenter() { writePending(); }

void LoggingStatusPresenter::writeToStandardOutput(const std::string& line) { writeAllToStandardOutput(line + "\n"); }

void LoggingStatusPresenter::endBurst()
{
    fInBurst = false;
    writePending();
}

void LoggingStatusPresenter::writePending()
{
    if (fPending.empty())
        return;
    writeAllToStandardOutput(fPending);
    fPending.clear();
}

std::string LoggingStatusPresenter::oneLine(const std::string& text)
{
    if (isOneLine(text))
        return text;
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string part = text.substr(start, end - start);
        while (!part.empty() && (part.back() == '\r' || part.back() == ' '))
            part.pop_back();
        size_t lead = part.find_first_not_of(' ');
        part = lead == std::string::npos ? std::string() : part.substr(lead);
        if (!part.empty())
            out += (out.empty() ? "" : " - ") + part;
        start = end + 1;
    }
    return out;
}

void LoggingStatusPresenter::writeLine(const std::string& line)
{
    if (fSink) {
        fSink(line);
        return;
    }
    fPending.append(line);
    fPending.push_back('\n');
    if (!fInBurst)
        writePending();
}

// "status: upload (error): text", built without formatting or a copy of a one-line text.
void LoggingStatusPresenter::writeStatusLine(Field field, bool isError, const std::string& text)
{
    std::string line;
    line.reserve(32 + text.size());
    line.append("status: ").append(fieldName(field));
    if (isError)
        line.append(" (error)");
    line.append(": ");
    if (isOneLine(text))
        line.append(text);
    else
        line.append(oneLine(text));
    writeLine(line);
}

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
    writeStatusLine(field, isError, text);
}

void LoggingStatusPresenter::setToolTip(Field, const std::string&) { }

void LoggingStatusPresenter::updateProgressBar(bool running)
{
    writeLine(running ? "progress: started" : "progress: stopped");
}

void LoggingStatusPresenter::setPauseResumeButtonTitle(const std::string& title)
{
    writeLine("status: pause button: " + title);
}

void LoggingStatusPresenter::setPauseResumeButtonEnabled(bool enabled)
{
    writeLine(stringWithFormat("status: pause button %s", enabled ? "enabled" : "disabled"));
}

void LoggingStatusPresenter::setOpenPrefButtonEnabled(bool enabled)
{
    writeLine(stringWithFormat("status: preferences button %s", enabled ? "enabled" : "disabled"));
}

void LoggingStatusPresenter::beep() { writeLine("status: beep"); }

void LoggingStatusPresenter::showAlert(const std::string& title, const std::string& message, const std::string& button)
{
    writeLine("alert: " + oneLine(title + " " + message) + " [" + button + "]");
}

void LoggingStatusPresenter::openPreferencePanel()
{
    writeLine("status: the preferences panel needs the desktop window; settings can be changed with quon-ctl");
}

void LoggingStatusPresenter::openMaintenanceWindow(int window)
{
    writeLine(stringWithFormat("progress: window %d opened", window));
}

void LoggingStatusPresenter::setMaintenanceWindowTitle(int window, const std::string& title)
{
    writeLine(stringWithFormat("progress: window %d title: %s", window, oneLine(title).c_str()));
}

void LoggingStatusPresenter::updateMaintenanceLine1(int window, const std::string& text)
{
    writeLine(stringWithFormat("progress: window %d line 1: %s", window, oneLine(text).c_str()));
}

void LoggingStatusPresenter::updateMaintenanceLine2(int window, const std::string& text)
{
    writeLine(stringWithFormat("progress: window %d line 2: %s", window, oneLine(text).c_str()));
}

void LoggingStatusPresenter::updateMaintenanceProgressBar(int window, bool running)
{
    writeLine(stringWithFormat("progress: window %d bar %s", window, running ? "started" : "stopped"));
}

void LoggingStatusPresenter::closeMaintenanceWindow(int window)
{
    writeLine(stringWithFormat("progress: window %d closed", window));
}

void LoggingStatusPresenter::showFiled(const std::string& photo, const std::string& destination, const std::string& why,
                                       bool toMirror)
{
    writeLine("filed: " + photo + " -> " + destination + " (" + (toMirror ? "" : "refused: ") + oneLine(why) + ")");
}

void LoggingStatusPresenter::showUploadProgress(const std::string& photo, int64_t sent, int64_t total,
                                                double bytesPerSecond)
{
    const double megabyte = 1000.0 * 1000.0;
    const int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 0;
    writeLine(stringWithFormat("progress: upload %s: %d%% of %.1f MB at %.1f MB/s",
                               FileUtil::lastPathComponent(photo).c_str(), percent,
                               static_cast<double>(total) / megabyte, bytesPerSecond / megabyte));
}
