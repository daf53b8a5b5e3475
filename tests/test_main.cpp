#include <QCoreApplication>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

// One application object for the whole run: tests that need the main thread's
// event loop run it with TestSupport::waitFor.
int main(int argc, char** argv)
{
    // Request dumps, run logs and the Trash of the code under test stay out of
    // the user's own folders.
    char stateTemplate[] = "/tmp/quon-test-state-XXXXXX";
    const std::string state = ::mkdtemp(stateTemplate);
    ::setenv("QUON_LOG_ROOT", (state + "/Logs").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (state + "/state").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (state + "/data").c_str(), 1);
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(state, ec);
    return status;
}
