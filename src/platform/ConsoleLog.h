#pragma once

#include <functional>
#include <string>
#include <string_view>

// The console log: every notable step of the uploader writes one message to
// standard error, stamped with the local time and the writing thread. Once the
// daily log is set up, standard error is that file, so these lines land there.
namespace ConsoleLog {

// Writes one message (which may itself hold line breaks) in a single write.
void write(std::string_view message);

// printf-style formatting; the texts of the log keep their wording.
void writef(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes text to standard error as it is, without a stamp.
void writeRaw(std::string_view text);

// Lets a test see every message as it is written (in addition to stderr).
// Pass an empty function to stop. Thread-safe.
void setObserver(std::function<void(const std::string&)> observer);

} // namespace ConsoleLog

// "Inside %@ => %@..." with the class and the operation name.
void logInside(const char* className, const char* operation);

// printf into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
