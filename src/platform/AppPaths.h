#pragma once

#include <string>

// Where the uploader keeps its files on this system.
namespace AppPaths {

// $XDG_CONFIG_HOME (else ~/.config).
std::string configHome();

// The stored layer of the settings: <config>/quon-uploader/defaults.plist.
std::string defaultStorePath();

// The older uploader's settings, migrated once at start.
std::string oldUploaderPreferencesPath();

// Request dumps: $QUON_LOG_ROOT, else ${XDG_STATE_HOME:-~/.local/state}/quon-uploader/Logs.
std::string logRoot();

// The command socket: $QUON_SOCKET, else $XDG_RUNTIME_DIR/quon-uploader.sock,
// else /tmp/quon-uploader-<uid>/quon-uploader.sock (see SocketPaths).
std::string defaultSocketPath();

// The folder of the running program.
std::string executableFolder();
std::string executablePath();

// A packaged resource (FactoryDefault.plist, helper scripts...): looked up in
// $QUON_RESOURCE_DIR, next to the programs (../share/quon-uploader), then the
// install location. Empty when none has it.
std::string resourcePath(const std::string& name);

// A packaged helper program (quon-relaunch...): beside the running program.
std::string helperProgramPath(const std::string& name);

} // namespace AppPaths
