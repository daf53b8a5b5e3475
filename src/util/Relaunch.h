#pragma once

#include "util/RelaunchRequest.h"

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The program the relaunch helper waits for and then starts again.
struct RelaunchTarget {
    std::string helperPath;             // quon-relaunch
    std::string appPath;                // the program to start again
    pid_t pid = 0;                      // the process to wait for
    std::vector<std::string> arguments; // handed on to the new instance

    // The running application: the helper beside it, its own path, process
    // id and command-line arguments (so a headless instance comes back headless).
    static RelaunchTarget currentApplication();
};

// Restarts the application: starts the helper detached with the program's
// path, the process id and the launch flags in decimal (then the program's
// own arguments), and asks the application to terminate through
// terminate(sender). Without a request the flags are 1 and there is no
// sender. When the helper cannot be started the application keeps running
// and false is returned.
bool relaunch(const std::optional<RelaunchRequest>& info, const std::function<void(const void* sender)>& terminate,
              const RelaunchTarget& target = RelaunchTarget::currentApplication());
