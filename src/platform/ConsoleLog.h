#pragma once

#include <functional>
#include <string>
#include <string_view>

// The console log: every notable step of the uploader writes one message to
// standard error, stamped with the local time and the writing thread. Once the
// daily log is set up, standard error is that file, so these lines land there.
//
// By default each message is written at once. Once the station starts the
// batched writer, messages are queued whole and a writer thread puts every
// message of a burst into the file with one write, a few milliseconds later.
// Lines are never torn or interleaved, and they reach the file in the order
// of their stamps. What is queued is written before the process exits, before
// it starts another program, before standard error is moved, and before a
// crash signal ends it.
namespace ConsoleLog {

// Writes one message (which may itself hold line breaks) as one whole piece.
void write(std::string_view message);

// printf-style formatting; the texts of the log keep their wording.
void writef(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes text to standard error as it is, without a stamp.
void writeRaw(std::string_view text);

// Lets a test see every message as it is written (in addition to stderr).
// Pass an empty function to stop. Thread-safe.
void setObserver(std::function<void(const std::string&)> observer);

// Starts the batched writer (see above); harmless when it runs already. It
// also writes what is queued on exit() and on a crash signal (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT), and before fork().
void startWriter();
// Writes what is queued, ends the writer thread and goes back to writing
// each message at once.
void stopWriter();
bool writerRunning();
// Writes everything queued so far before it returns. Call it before _exit()
// and before starting another program with posix_spawn (which, unlike fork,
// runs no fork handlers).
void flush();
// Points standard error at fd (dup2), after everything queued has gone to
// the old place and with no batch written across the move. False, with
// errno set, when dup2 fails.
bool redirectStandardError(int fd);

} // namespace ConsoleLog

// "Inside %@ => %@..." with the class and the operation name.
void logInside(const char* className, const char* operation);

// printf into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
