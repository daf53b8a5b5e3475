#include "remote/CommandSocketServer.h"

#include "platform/ConsoleLog.h"
#include "remote/AppleEventHandler.h"
#include "remote/CommandProtocol.h"
#include "remote/PeerCredentials.h"
#include "remote/SocketPaths.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Replies a client has not read yet; past this we stop reading its commands.
constexpr size_t kMaxPendingReply = 256 * 1024;
constexpr size_t kReadChunk = 16 * 1024;
constexpr int kListenBacklog = 16;
constexpr int kAcceptPauseMs = 1000;

std::string errnoText(int error) { return std::strerror(error); }

bool setFailure(std::string* error, const std::string& message)
{
    ConsoleLog::writef("Command socket not started: %s", message.c_str());
    if (error)
        *error = message;
    return false;
}

bool fillAddress(const std::string& path, sockaddr_un* address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string parentFolderOf(const std::string& path) { return std::filesystem::path(path).parent_path().string(); }

enum class Probe { Answered, Stale, Unknown };

// Whether a listener is behind an existing socket file.
Probe probeSocket(const std::string& path, int* probeErrno)
{
    sockaddr_un address{};
    if (!fillAddress(path, &address))
        return Probe::Unknown;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *probeErrno = errno;
        return Probe::Unknown;
    }
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int saved = errno;
    ::close(fd);
    *probeErrno = saved;
    // A full backlog (EAGAIN) still means somebody is listening.
    if (rc == 0 || saved == EAGAIN || saved == EINPROGRESS)
        return Probe::Answered;
    if (saved == ECONNREFUSED)
        return Probe::Stale;
    return Probe::Unknown;
}

} // namespace

struct CommandSocketServer::Connection {
    uint64_t id = 0;
    int fd = -1;
    pid_t pid = 0;
    std::string in;
    std::string out;
    bool busy = false;       // a command of this connection is being handled
    bool peerClosed = false; // the client sent all it will send
    bool discarding = false; // skipping the rest of an over-long line
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    std::unique_ptr<QTimer> idleTimer;
};

CommandSocketServer::CommandSocketServer(AppleEventHandler& handler)
    : fHandler(handler), fContext(std::make_unique<QObject>())
{
}

CommandSocketServer::~CommandSocketServer()
{
    stop();
    fContext.reset();
    fRetiredConnections.clear();
    fRetiredNotifiers.clear();
}

bool CommandSocketServer::start(const std::string& path, std::string* error)
{
    if (isListening())
        return setFailure(error, "already listening at " + fPath);
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return setFailure(error, "the command socket must be started on the main thread");
    sockaddr_un address{};
    if (path.empty() || !fillAddress(path, &address))
        return setFailure(error,
                          "socket path \"" + path + "\" is empty or longer than " +
                              std::to_string(sizeof address.sun_path - 1) + " bytes");

    // Without a runtime folder the socket lies in a folder of our own under
    // /tmp, so that nobody else can put a listener where quon-ctl looks.
    if (SocketPaths::isInFallbackFolder(path)) {
        std::string why;
        if (!SocketPaths::checkPrivateFolder(parentFolderOf(path), ::geteuid(), true, &why))
            return setFailure(error, "the socket folder is not private: " + why);
    }

    struct stat existing { };
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return setFailure(error, path + " exists and is not a socket; leaving it alone");
        int probeErrno = 0;
        switch (probeSocket(path, &probeErrno)) {
            case Probe::Answered: return setFailure(error, "another uploader is already listening at " + path);
            case Probe::Unknown:
                return setFailure(error, "cannot tell whether " + path + " is in use: " + errnoText(probeErrno));
            case Probe::Stale:
                ConsoleLog::writef("Command socket %s is left over from an uploader that is gone; replacing it",
                                   path.c_str());
                break;
        }
    }

    // The socket is created in a private folder, narrowed to 0600 there and
    // only then moved into place: it is never reachable with wider rights,
    // and the process umask (shared with other threads) stays untouched.
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    std::string privateFolder = (folder / ".quon-sock-XXXXXX").string();
    sockaddr_un bindAddress{};
    if (!fillAddress(privateFolder + "/s", &bindAddress))
        return setFailure(error, "socket folder path too long: " + folder.string());
    if (!::mkdtemp(privateFolder.data()))
        return setFailure(error, "cannot create a folder beside " + path + ": " + errnoText(errno));
    const std::string bindPath = privateFolder + "/s";
    fillAddress(bindPath, &bindAddress);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    std::string failure;
    if (fd < 0)
        failure = "socket(): " + errnoText(errno);
    else if (::bind(fd, reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress) != 0)
        failure = "bind(): " + errnoText(errno);
    else if (::chmod(bindPath.c_str(), 0600) != 0)
        failure = "chmod(): " + errnoText(errno);
    else if (::listen(fd, kListenBacklog) != 0)
        failure = "listen(): " + errnoText(errno);
    else if (::rename(bindPath.c_str(), path.c_str()) != 0)
        failure = "cannot move the socket to " + path + ": " + errnoText(errno);
    ::unlink(bindPath.c_str());
    ::rmdir(privateFolder.c_str());
    struct stat created { };
    if (failure.empty() && ::lstat(path.c_str(), &created) != 0)
        failure = "the socket vanished from " + path;
    if (!failure.empty()) {
        if (fd >= 0)
            ::close(fd);
        return setFailure(error, failure);
    }

    fListenFd = fd;
    fPath = path;
    fSocketDevice = created.st_dev;
    fSocketInode = created.st_ino;
    fListenNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(fListenNotifier.get(), &QSocketNotifier::activated, fContext.get(),
                     [this] { acceptConnections(); });
    ConsoleLog::writef("Command socket listening at %s", path.c_str());
    return true;
}

void CommandSocketServer::stop()
{
    while (!fConnections.empty())
        closeConnection(fConnections.begin()->first, "the command socket is shutting down");
    if (!isListening())
        return;
    fListenNotifier->setEnabled(false);
    fRetiredNotifiers.push_back(std::move(fListenNotifier));
    scheduleReap();
    ::close(fListenFd);
    fListenFd = -1;
    // Only our own socket file: another uploader may have taken the path since.
    struct stat current { };
    if (::lstat(fPath.c_str(), &current) == 0 && current.st_dev == fSocketDevice && current.st_ino == fSocketInode)
        ::unlink(fPath.c_str());
    ConsoleLog::writef("Command socket at %s closed", fPath.c_str());
}

void CommandSocketServer::acceptConnections()
{
    while (isListening()) {
        const int fd = ::accept4(fListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            ConsoleLog::writef("Command socket: accept failed: %s", errnoText(error).c_str());
            // Out of descriptors or memory: the listener would fire at once again.
            pauseAccepting();
            return;
        }
        PeerCredentials peer;
        std::string why;
        if (!PeerCredentials::ofSocket(fd, &peer, &why)) {
            ConsoleLog::writef("Command socket: refused a connection: %s", why.c_str());
            ::close(fd);
            continue;
        }
        if (peer.uid != ::geteuid()) {
            ConsoleLog::writef("Command socket: refused a connection from uid %u (pid %d); only uid %u may "
                               "send commands",
                               static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
                               static_cast<unsigned>(::geteuid()));
            ::close(fd);
            continue;
        }
        if (fConnections.size() >= fMaxConnections) {
            ConsoleLog::writef("Command socket: refused a connection from pid %d: already %zu connections",
                               static_cast<int>(peer.pid), fConnections.size());
            const std::string refusal = CommandProtocol::encodeError("too many connections");
            [[maybe_unused]] const ssize_t sent = ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
            ::close(fd);
            continue;
        }
        openConnection(fd, peer.pid);
    }
}

void CommandSocketServer::openConnection(int fd, pid_t pid)
{
    auto connection = std::make_unique<Connection>();
    const uint64_t id = fNextConnectionId++;
    connection->id = id;
    connection->fd = fd;
    connection->pid = pid;
    connection->readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connection->writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connection->writeNotifier->setEnabled(false);
    connection->idleTimer = std::make_unique<QTimer>();
    connection->idleTimer->setSingleShot(true);
    connection->idleTimer->setInterval(fIdleTimeout);
    QObject::connect(connection->readNotifier.get(), &QSocketNotifier::activated, fContext.get(),
                     [this, id] { onReadable(id); });
    QObject::connect(connection->writeNotifier.get(), &QSocketNotifier::activated, fContext.get(),
                     [this, id] { pump(id); });
    QObject::connect(connection->idleTimer.get(), &QTimer::timeout, fContext.get(), [this, id] { onIdle(id); });
    connection->idleTimer->start();
    fConnections.emplace(id, std::move(connection));
    ConsoleLog::writef("Command connection %llu opened by pid %d", static_cast<unsigned long long>(id),
                       static_cast<int>(pid));
}

void CommandSocketServer::onReadable(uint64_t id)
{
    Connection* connection = find(id);
    if (!connection)
        return;
    char buffer[kReadChunk];
    const ssize_t n = ::recv(connection->fd, buffer, sizeof buffer, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        const std::string reason = "read failed: " + errnoText(errno);
        closeConnection(id, reason.c_str());
        return;
    }
    if (n == 0) {
        connection->peerClosed = true;
    } else {
        connection->idleTimer->start();
        std::string_view data(buffer, static_cast<size_t>(n));
        if (connection->discarding) {
            const size_t newline = data.find('\n');
            if (newline == std::string_view::npos) {
                data = {};
            } else {
                data.remove_prefix(newline + 1);
                connection->discarding = false;
            }
        }
        connection->in.append(data);
    }
    pump(id);
    if ((connection = find(id)))
        updateInterest(*connection);
}

void CommandSocketServer::onIdle(uint64_t id)
{
    Connection* connection = find(id);
    if (!connection)
        return;
    if (connection->busy) {
        connection->idleTimer->start();
        return;
    }
    const std::string reason =
        "idle for " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(fIdleTimeout).count()) + " s";
    closeConnection(id, reason.c_str());
}

namespace {

// Sends what the socket takes now; false when the client is gone.
bool writePending(int fd, std::string& out, QTimer& idleTimer)
{
    while (!out.empty()) {
        const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            out.erase(0, static_cast<size_t>(n));
            idleTimer.start();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    return true;
}

enum class LineState { None, Line, TooLong };

LineState takeLine(std::string& in, bool peerClosed, bool& discarding, std::string* line)
{
    const size_t newline = in.find('\n');
    const size_t length = newline == std::string::npos ? in.size() : newline;
    if (length > CommandProtocol::kMaxLineBytes) {
        if (newline == std::string::npos) {
            in.clear();
            discarding = !peerClosed;
        } else {
            in.erase(0, newline + 1);
        }
        return LineState::TooLong;
    }
    if (newline == std::string::npos) {
        // A last command without its line break still counts once the client is done.
        if (!peerClosed || in.empty())
            return LineState::None;
        *line = std::move(in);
        in.clear();
    } else {
        *line = in.substr(0, newline);
        in.erase(0, newline + 1);
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return LineState::Line;
}

bool isBlank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

} // namespace

void CommandSocketServer::pump(uint64_t id)
{
    Connection* connection = find(id);
    // A command in progress may run a nested event loop; its connection's
    // later lines wait for it, so replies keep the order of the commands.
    if (!connection || connection->busy)
        return;
    connection->busy = true;
    updateInterest(*connection);
    for (;;) {
        if (!writePending(connection->fd, connection->out, *connection->idleTimer)) {
            closeConnection(id, "the client stopped reading");
            return;
        }
        if (connection->out.size() >= kMaxPendingReply)
            break;
        std::string line;
        const LineState state = takeLine(connection->in, connection->peerClosed, connection->discarding, &line);
        if (state == LineState::None)
            break;
        if (state == LineState::Line && isBlank(line))
            continue;
        std::string reply;
        if (state == LineState::TooLong) {
            ConsoleLog::writef("Command connection %llu: refused a line longer than %zu bytes",
                               static_cast<unsigned long long>(id), CommandProtocol::kMaxLineBytes);
            reply = CommandProtocol::encodeError("line longer than " + std::to_string(CommandProtocol::kMaxLineBytes) +
                                                 " bytes");
        } else {
            reply = replyForLine(id, line);
        }
        // The command may have closed this connection or stopped the server.
        if (!(connection = find(id)))
            return;
        connection->out += reply;
    }
    connection->busy = false;
    if (connection->peerClosed && connection->in.empty() && connection->out.empty()) {
        closeConnection(id, "closed by the client");
        return;
    }
    updateInterest(*connection);
}

std::string CommandSocketServer::replyForLine(uint64_t id, const std::string& line)
{
    const auto number = static_cast<unsigned long long>(id);
    AppleEvent event;
    std::string error;
    if (!CommandProtocol::decodeRequest(line, &event, &error)) {
        // The line itself may hold a password: log only why it was refused.
        ConsoleLog::writef("Command connection %llu: refused a malformed command (%s)", number, error.c_str());
        return CommandProtocol::encodeError(error);
    }
    ConsoleLog::writef("Command connection %llu: event %s/%s%s", number, event.eventClass.c_str(),
                       event.eventID.c_str(), event.wantsReply ? "" : " (no reply wanted)");
    AppleEvent reply = AppleEvent::replyEvent();
    if (!fHandler.dispatchAppleEvent(event, event.wantsReply ? &reply : nullptr)) {
        ConsoleLog::writef("Command connection %llu: no handler for event %s/%s", number, event.eventClass.c_str(),
                           event.eventID.c_str());
        return CommandProtocol::encodeError("event " + event.eventClass + "/" + event.eventID + " is not handled");
    }
    // Every command gets one line back, so a client can send several in a row.
    return CommandProtocol::encodeReply(event.wantsReply ? reply.directObject : AppleEventDescriptor());
}

void CommandSocketServer::updateInterest(Connection& connection)
{
    // While a command runs, input is only buffered (up to one line's worth)
    // and output waits for it; otherwise a level-triggered notifier would
    // fire over and over in a nested event loop.
    const bool canRead = !connection.peerClosed && connection.in.size() <= CommandProtocol::kMaxLineBytes &&
        (connection.busy || connection.out.size() < kMaxPendingReply);
    connection.readNotifier->setEnabled(canRead);
    connection.writeNotifier->setEnabled(!connection.busy && !connection.out.empty());
}

void CommandSocketServer::closeConnection(uint64_t id, const char* reason)
{
    auto it = fConnections.find(id);
    if (it == fConnections.end())
        return;
    std::unique_ptr<Connection> connection = std::move(it->second);
    fConnections.erase(it);
    connection->readNotifier->setEnabled(false);
    connection->writeNotifier->setEnabled(false);
    connection->idleTimer->stop();
    if (!connection->out.empty()) {
        [[maybe_unused]] const ssize_t sent =
            ::send(connection->fd, connection->out.data(), connection->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::close(connection->fd);
    connection->fd = -1;
    ConsoleLog::writef("Command connection %llu closed (%s)", static_cast<unsigned long long>(id), reason);
    fRetiredConnections.push_back(std::move(connection));
    scheduleReap();
}

void CommandSocketServer::pauseAccepting()
{
    fListenNotifier->setEnabled(false);
    QTimer::singleShot(kAcceptPauseMs, fContext.get(), [this] {
        if (fListenNotifier)
            fListenNotifier->setEnabled(true);
    });
}

void CommandSocketServer::scheduleReap()
{
    if (fReapScheduled)
        return;
    fReapScheduled = true;
    QMetaObject::invokeMethod(
        fContext.get(),
        [this] {
            fReapScheduled = false;
            fRetiredConnections.clear();
            fRetiredNotifiers.clear();
        },
        Qt::QueuedConnection);
}

CommandSocketServer::Connection* CommandSocketServer::find(uint64_t id)
{
    auto it = fConnections.find(id);
    return it == fConnections.end() ? nullptr : it->second.get();
}
