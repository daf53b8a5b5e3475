#include "app/LoggingMaintenanceProgress.h"

#include "platform/ConsoleLog.h"
#include "platform/TextUtil.h"

#include <mutex>

namespace {

class LoggingMaintenanceWindow : public MaintenanceWindow {
public:
    void ibSetWindowTitle(const std::string& title) override
    {
        std::lock_guard lock(fMutex);
        if (!fClosed)
            fTitle = title;
    }
    void ibUpdateLine1TextField(const std::string& text) override { line(text); }
    void ibUpdateLine2TextField(const std::string& text) override { line(text); }
    void ibUpdateProgressBar(const std::string& yesOrNo) override
    {
        line(TextUtil::equalsIgnoringCase(yesOrNo, "YES") ? "started" : "stopped");
    }
    void close() override
    {
        line("done");
        std::lock_guard lock(fMutex);
        fClosed = true;
    }

private:
    void line(const std::string& text)
    {
        std::lock_guard lock(fMutex);
        if (fClosed)
            return;
        ConsoleLog::writef("progress: %s%s%s", fTitle.c_str(), fTitle.empty() ? "" : ": ", text.c_str());
    }

    std::mutex fMutex;
    std::string fTitle;
    bool fClosed = false;
};

} // namespace

std::unique_ptr<MaintenanceWindow> LoggingMaintenanceProgress::openMaintenanceWindow()
{
    return std::make_unique<LoggingMaintenanceWindow>();
}
