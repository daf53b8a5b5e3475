#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class AppleEventHandler;
class QObject;
class QSocketNotifier;

// The uploader's command socket: a Unix-domain stream socket (mode 0600) on
// which programs of the same user send remote commands, one JSON object per
// line, and read one reply line per command (see CommandProtocol.h).
//
// Connections from another user are closed at once. Each connection has its
// own buffers and non-blocking I/O, so a slow or silent client never holds up
// the main thread or another client; idle connections are closed and the
// number of connections is capped. A line that is not a well-formed command
// is answered with {"error":...} and never reaches the handler.
//
// Threading: construct, start, stop and destroy on the main thread (the
// thread of the QCoreApplication); the socket is served by that thread's
// event loop and the handler is called there. stop() may be called from
// inside a command (for example while quitting); destroying the server must
// wait until the command in progress has returned.
class CommandSocketServer {
public:
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{30000};
    static constexpr size_t kDefaultMaxConnections = 16;

    explicit CommandSocketServer(AppleEventHandler& handler);
    ~CommandSocketServer();
    CommandSocketServer(const CommandSocketServer&) = delete;
    CommandSocketServer& operator=(const CommandSocketServer&) = delete;

    // Listens at path. A socket file left there by an uploader that is gone
    // is replaced; when another uploader answers there, or path is something
    // other than a socket, nothing is touched and false is returned with the
    // reason in error (also logged).
    bool start(const std::string& path, std::string* error);

    // Closes every connection and removes the socket file. Safe to repeat.
    void stop();

    bool isListening() const { return fListenFd >= 0; }
    const std::string& socketPath() const { return fPath; }
    size_t connectionCount() const { return fConnections.size(); }

    // Limits; they apply to connections accepted afterwards.
    void setIdleTimeout(std::chrono::milliseconds timeout) { fIdleTimeout = timeout; }
    void setMaxConnections(size_t count) { fMaxConnections = count; }

private:
    struct Connection;

    void acceptConnections();
    void openConnection(int fd, pid_t pid);
    void onReadable(uint64_t id);
    void onIdle(uint64_t id);
    void pump(uint64_t id);
    std::string replyForLine(uint64_t id, const std::string& line);
    void updateInterest(Connection& connection);
    void closeConnection(uint64_t id, const char* reason);
    void pauseAccepting();
    void scheduleReap();
    Connection* find(uint64_t id);

    AppleEventHandler& fHandler;
    // Receiver of the notifier and timer signals; dropping it cuts them all.
    std::unique_ptr<QObject> fContext;
    int fListenFd = -1;
    std::unique_ptr<QSocketNotifier> fListenNotifier;
    std::string fPath;
    dev_t fSocketDevice = 0;
    ino_t fSocketInode = 0;
    std::chrono::milliseconds fIdleTimeout = kDefaultIdleTimeout;
    size_t fMaxConnections = kDefaultMaxConnections;
    uint64_t fNextConnectionId = 1;
    std::map<uint64_t, std::unique_ptr<Connection>> fConnections;
    // Closed connections wait here until control is back in the event loop:
    // a notifier must not be deleted while it is delivering its signal.
    std::vector<std::unique_ptr<Connection>> fRetiredConnections;
    std::vector<std::unique_ptr<QSocketNotifier>> fRetiredNotifiers;
    bool fReapScheduled = false;
};
