#include "app/UploaderOptions.h"

#include "platform/ConsoleLog.h"
#include "platform/UserDefaults.h"

#include <charconv>
#include <cstring>

namespace {

PlistValue settingValue(const std::string& text)
{
    if (text == "true" || text == "false")
        return PlistValue::boolean(text == "true");
    long long integer = 0;
    auto intResult = std::from_chars(text.data(), text.data() + text.size(), integer);
    if (!text.empty() && intResult.ec == std::errc() && intResult.ptr == text.data() + text.size())
        return PlistValue::integer(integer);
    double real = 0;
    auto realResult = std::from_chars(text.data(), text.data() + text.size(), real, std::chars_format::fixed);
    if (!text.empty() && realResult.ec == std::errc() && realResult.ptr == text.data() + text.size())
        return PlistValue::real(real);
    return PlistValue::string(text);
}

} // namespace

bool UploaderOptions::parse(int argc, char** argv, std::string* error)
{
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
                return false;
            }
            settings.emplace_back(std::string(v, eq), std::string(eq + 1));
        } else {
            *error = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    return true;
}

void UploaderOptions::applySettings(UserDefaults& store) const
{
    for (const auto& [key, text] : settings) {
        ConsoleLog::writef("Setting %s from the command line", key.c_str());
        store.setObject(key, settingValue(text));
    }
}

std::string UploaderOptions::usage()
{
    return "usage: quon-uploader [--headless] [--defaults FILE] [--set KEY=VALUE]... [--socket PATH]\n"
           "       quon-uploader --version | --help\n"
           "\n"
           "  --headless         no windows; the operator's lines (status:, progress:, alert:,\n"
           "                     filed:) go to standard output, the log to standard error\n"
           "  --defaults FILE    keep the settings in FILE instead of the usual place\n"
           "  --set KEY=VALUE    store a setting before start-up (true/false: a boolean,\n"
           "                     a decimal literal: a number, anything else: text)\n"
           "  --socket PATH      the command socket that quon-ctl talks to\n";
}
