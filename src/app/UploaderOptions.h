#pragma once

#include "platform/PlistValue.h"

#include <string>
#include <utility>
#include <vector>

class UserDefaults;

// The uploader's command line.
struct UploaderOptions {
    // Exit statuses of a command line that cannot be used.
    static constexpr int kExitUsage = 64;     // an unknown option, a missing value
    static constexpr int kExitBadSetting = 2; // --set with an unknown key or a value its key does not take

    bool headless = false;
    bool supervised = false; // a service manager restarts the station (--supervised)
    bool showHelp = false;
    bool showVersion = false;
    std::string defaultsPath;
    std::string socketPath;
    std::vector<std::pair<std::string, PlistValue>> settings; // --set KEY=VALUE, in order, in the key's type

    // False with the reason and the exit status for a command line that
    // cannot be used; no setting is stored then.
    bool parse(int argc, char** argv, std::string* error, int* exitStatus);
    // Stores the --set values.
    void applySettings(UserDefaults& store) const;
    static std::string usage();
};
