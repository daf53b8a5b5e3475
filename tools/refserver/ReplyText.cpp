#include "ReplyText.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <strings.h>

namespace ReplyText {

bool equalsIgnoringCase(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

std::string safeComponent(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '/' || c == '\0')
            c = '_';
    return out.empty() || out == "." || out == ".." ? std::string("_") : out;
}

std::string xmlEscaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string element(const char* name, const std::string& text)
{
    return std::string("<") + name + ">" + xmlEscaped(text) + "</" + name + ">";
}

std::string timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    return text;
}

std::string statusReply(const std::string& status, const std::string& message)
{
    return "<reply>" + element("status", status) + element("message", message) + "</reply>";
}

} // namespace ReplyText
