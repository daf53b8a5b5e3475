#pragma once

#include <string>
#include <utility>
#include <vector>

class UserDefaults;

// The uploader's command line.
struct UploaderOptions {
    bool headless = false;
    bool showHelp = false;
    bool showVersion = false;
    std::string defaultsPath;
    std::string socketPath;
    std::vector<std::pair<std::string, std::string>> settings; // --set KEY=VALUE, in order

    // False (and the reason) for an unknown option or a malformed value.
    bool parse(int argc, char** argv, std::string* error);
    // Stores the --set values: true/false as booleans, decimal literals as numbers, the rest as text.
    void applySettings(UserDefaults& store) const;
    static std::string usage();
};
