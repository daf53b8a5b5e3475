#pragma once

#include <string>

// The small texts of the reference service's replies and stored names.
namespace ReplyText {

bool equalsIgnoringCase(const std::string& a, const char* b);
// One path component from what a client sent: never a way out of the root.
std::string safeComponent(const std::string& text);
std::string xmlEscaped(const std::string& text);
std::string element(const char* name, const std::string& text);
std::string timestamp();
std::string statusReply(const std::string& status, const std::string& message);

} // namespace ReplyText
