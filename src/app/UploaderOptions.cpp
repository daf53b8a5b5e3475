#include "app/UploaderOptions.h"

#include "platform/ConsoleLog.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/SettingFromText.h"

#include <cstring>

bool UploaderOptions::parse(int argc, char** argv, std::string* error, int* exitStatus)
{
    *exitStatus = kExitUsage;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                *error = std::string(name) + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--supervised") {
            supervised = true;
        } else if (arg == "--help" || arg == "-h") {
            showHelp = true;
        } else if (arg == "--version") {
            showVersion = true;
        } else if (arg == "--defaults") {
            const char* v = value("--defaults");
            if (!v)
                return false;
            defaultsPath = v;
        } else if (arg == "--socket") {
            const char* v = value("--socket");
            if (!v)
                return false;
            socketPath = v;
        } else if (arg == "--set") {
            const char* v = value("--set");
            if (!v)
                return false;
            const char* eq = std::strchr(v, '=');
            if (!eq || eq == v) {
                *error = "--set takes KEY=VALUE, got \"" + std::string(v) + "\"";
                *exitStatus = kExitBadSetting;
                return false;
            }
            const std::string key(v, eq);
            auto setting = SettingFromText::parse(key, eq + 1, error);
            if (!setting) {
                *error = "--set: " + *error;
                *exitStatus = kExitBadSetting;
                return false;
            }
            settings.emplace_back(key, std::move(*setting));
        } else {
            *error = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    return true;
}

void UploaderOptions::applySettings(UserDefaults& store) const
{
    for (const auto& [key, value] : settings) {
        // The password never goes into the log.
        const std::string shown = key == PrefKey::UserLoginPassword ? "********"
            : value.isString()                                      ? "\"" + *value.asString() + "\""
                                                                    : value.describe();
        ConsoleLog::writef("Setting %s to %s from the command line", key.c_str(), shown.c_str());
        store.setObject(key, value);
    }
}

std::string UploaderOptions::usage()
{
    return "usage: quon-uploader [--headless] [--supervised] [--defaults FILE] [--set KEY=VALUE]... [--socket PATH]\n"
           "       quon-uploader --version | --help\n"
           "\n"
           "  --headless         no windows; the operator's lines (status:, progress:, alert:,\n"
           "                     filed:) go to standard output, the log to standard error\n"
           "  --supervised       run under a service manager: after a hung upload, exit with\n"
           "                     status 75 and let the manager start the station again\n"
           "  --defaults FILE    keep the settings in FILE instead of the usual place\n"
           "  --set KEY=VALUE    store a setting before start-up, in the type of its key:\n"
           "                     texts stay texts, booleans take true/false/yes/no, numbers\n"
           "                     must be numbers; an unknown key or a bad value exits with 2\n"
           "  --socket PATH      the command socket that quon-ctl talks to\n";
}
