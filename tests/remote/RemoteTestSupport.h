#pragma once

#include "TestSupport.h"
#include "platform/ConsoleLog.h"
#include "platform/UserDefaults.h"
#include "remote/AppleEventTarget.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace RemoteTest {

// The controller side of remote commands, reduced to a record of what was asked.
class RecordingTarget : public AppleEventTarget {
public:
    void ibClickedOnSynchronizeAgain(const void*) override { record("ibClickedOnSynchronizeAgain"); }
    bool resumePausedProcess(const void*) override
    {
        if (paused)
            record("resumePausedProcess");
        return paused;
    }
    void forceProcessToPause(const void*) override { record("forceProcessToPause"); }
    void ibClickedOnQuit(const void*) override
    {
        record("ibClickedOnQuit");
        if (onQuit)
            onQuit();
    }

    std::string stationStatusReport() const override { return statusReport; }

    std::vector<std::string> calls;
    std::string statusReport = "{\"state\":\"idle\"}";
    std::function<void()> onQuit;
    bool paused = false; // what resumePausedProcess finds

private:
    void record(const char* name) { calls.emplace_back(name); }
};

// Every console log message written while it lives.
using LogLines = TestSupport::LogCapture;

// A test with its own settings file in a temporary folder.
class SettingsTest : public SandboxedTest {
protected:
    void SetUp() override
    {
        UserDefaults::standard().reset();
        UserDefaults::standard().open(fSandbox.file("defaults.plist"));
    }
    void TearDown() override { UserDefaults::standard().reset(); }
};

// A command-socket client that never blocks, so the server can run on the
// same thread's event loop while the test waits for a reply.
class LineClient {
public:
    explicit LineClient(const std::string& path)
    {
        fFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        fConnected = fFd >= 0 && ::connect(fFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~LineClient()
    {
        if (fFd >= 0)
            ::close(fFd);
    }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool connected() const { return fConnected; }

    // Sends all of text, letting the server's event loop run meanwhile.
    bool send(const std::string& text)
    {
        size_t sent = 0;
        return TestSupport::waitFor([&] {
                   const ssize_t n = ::send(fFd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
                   if (n > 0)
                       sent += static_cast<size_t>(n);
                   return sent == text.size() || (n < 0 && errno != EAGAIN);
               }) &&
            sent == text.size();
    }

    // The next reply line (without its line break); empty when none came
    // before the connection closed or the deadline passed.
    std::string readLine()
    {
        TestSupport::waitFor([&] {
            receive();
            return fBuffer.find('\n') != std::string::npos || fClosed;
        });
        const size_t newline = fBuffer.find('\n');
        if (newline == std::string::npos)
            return {};
        std::string line = fBuffer.substr(0, newline);
        fBuffer.erase(0, newline + 1);
        return line;
    }

    // Waits until the server closes the connection; true when it did.
    bool waitUntilClosed()
    {
        return TestSupport::waitFor([&] {
            receive();
            return fClosed;
        });
    }

    // Tells the server this client will send nothing more.
    void finishSending() { ::shutdown(fFd, SHUT_WR); }

    const std::string& unreadData() const { return fBuffer; }

private:
    void receive()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fFd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                fBuffer.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                fClosed = true;
            return;
        }
    }

    int fFd = -1;
    bool fConnected = false;
    bool fClosed = false;
    std::string fBuffer;
};

} // namespace RemoteTest
