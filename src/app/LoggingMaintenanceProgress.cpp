#include "app/LoggingMaintenanceProgress.h"

#include "platform/ConsoleLog.h"

#include <atomic>
#include <strings.h>

namespace {

class LoggingMaintenanceWindow : public MaintenanceWindow {
public:
    void ibSetWindowTitle(const std::string& title) override { say("title", title); }
    void ibUpdateLine1TextField(const std::string& text) override { say("task", text); }
    void ibUpdateLine2TextField(const std::string& text) override
    {
        if (!text.empty())
            say("step", text);
    }
    void ibUpdateProgressBar(const std::string& yesOrNo) override
    {
        say("bar", strcasecmp(yesOrNo.c_str(), "YES") == 0 ? "started" : "stopped");
    }
    void close() override
    {
        if (!fClosed.exchange(true))
            ConsoleLog::write("progress: maintenance window closed");
    }

private:
    void say(const char* what, const std::string& text)
    {
        if (!fClosed)
            ConsoleLog::writef("progress: maintenance %s: %s", what, text.c_str());
    }
    std::atomic<bool> fClosed{false};
};

} // namespace

std::unique_ptr<MaintenanceWindow> LoggingMaintenanceProgress::openMaintenanceWindow()
{
    return std::make_unique<LoggingMaintenanceWindow>();
}
