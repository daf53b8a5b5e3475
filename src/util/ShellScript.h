#pragma once

#include <optional>
#include <string>
#include <vector>

// Runs small helper programs and waits for them; the calling thread blocks
// until the child exits, so use them only for short commands.

// Runs a script shipped with the application (found among the resources or
// beside the programs). False when it is missing or its output says the
// network is not connected.
bool runShellScript(const std::string& scriptName, const std::optional<std::vector<std::string>>& args);

// Runs any program by absolute path and returns its standard output as text;
// nothing when the program cannot be started.
std::optional<std::string> runShellScript2(const std::string& launchPath,
                                           const std::optional<std::vector<std::string>>& args);

// Starts a program in a session of its own, without waiting: it outlives
// this process and its terminal. False and the reason when it cannot start.
bool startDetachedProgram(const std::string& path, const std::vector<std::string>& args, std::string* error = nullptr);

// The child's result, for callers that need more than the output.
struct ProcessResult {
    bool started = false;
    int exitStatus = -1;
    std::string output;
};
ProcessResult runProgram(const std::string& path, const std::vector<std::string>& args);
