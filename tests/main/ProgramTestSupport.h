#pragma once

// What the tests of the real programs share: where the programs are, a station
// whose settings, state and logs stay in the test's sandbox, quon-ctl runs.

#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace ProgramTestSupport {

inline const QString kBin = QStringLiteral(QUON_BIN_DIR);

struct CtlResult {
    int exitCode = -1;
    std::string output;
};

// The caller's environment with home, settings, state, data and logs in the sandbox.
inline QProcessEnvironment stationEnvironment(const TestSupport::TempDir& sandbox)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(sandbox.file("home")));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(sandbox.file("home/.config")));
    env.insert("XDG_STATE_HOME", QString::fromStdString(sandbox.file("home/.state")));
    env.insert("XDG_DATA_HOME", QString::fromStdString(sandbox.file("home/.data")));
    env.insert("QUON_LOG_ROOT", QString::fromStdString(sandbox.file("Logs")));
    std::filesystem::create_directories(sandbox.file("home"));
    return env;
}

inline CtlResult runCtl(const QProcessEnvironment& env, const QStringList& args)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(kBin + "/quon-ctl", args);
    process.waitForFinished(10000);
    return {process.exitCode(), process.readAllStandardOutput().toStdString()};
}

inline bool processExists(pid_t pid) { return pid > 0 && std::filesystem::exists("/proc/" + std::to_string(pid)); }

} // namespace ProgramTestSupport
