// quon-ctl: sends one remote command to a running uploader over its command
// socket and prints the reply's direct object.

#include "remote/AppleEvent.h"
#include "remote/CommandProtocol.h"
#include "remote/PeerCredentials.h"
#include "remote/SocketPaths.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef QUON_VERSION
#define QUON_VERSION "0.0.0"
#endif

namespace {

constexpr int kExitReply = 0;
constexpr int kExitError = 1;
constexpr int kExitNoAnswer = 2;
constexpr auto kAnswerTimeout = std::chrono::seconds(5);
constexpr size_t kMaxReplyBytes = 1024 * 1024;
constexpr const char* kCommandFailed = "COMMAND FAILED";

using Clock = std::chrono::steady_clock;

void printUsage(FILE* out)
{
    std::fputs("Usage: quon-ctl [--socket PATH] COMMAND\n"
               "\n"
               "Sends one command to the running uploader and prints its reply.\n"
               "\n"
               "Commands:\n"
               "  upnw | upload-now | resume start an upload pass now; ends a pause\n"
               "  paus | pause               pause when an upload is running\n"
               "  quit                       quit the uploader\n"
               "  status                     the uploader's state as one JSON object on one line\n"
               "  1234 WORD KEY VALUE        parameter command (WORD: setValue or getValue)\n"
               "  set KEY VALUE              same as: 1234 setValue KEY VALUE\n"
               "  get KEY                    same as: 1234 getValue KEY -\n"
               "\n"
               "Options:\n"
               "  --socket PATH              the uploader's command socket\n"
               "                             (default: $QUON_SOCKET, else $XDG_RUNTIME_DIR/quon-uploader.sock,\n"
               "                             else /tmp/quon-uploader-<uid>/quon-uploader.sock)\n"
               "  --help                     show this text\n"
               "  --version                  show the version\n"
               "\n"
               "A text reply is printed as it is, a list as compact JSON, an empty reply not at all.\n"
               "Exit status: 0 a reply came; 1 usage error, or the uploader refused the command\n"
               "(it answered \"COMMAND FAILED\") or answered something unreadable; 2 no uploader\n"
               "answers, or the one that answers runs as another user.\n",
               out);
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "quon-ctl: %s\n", message.c_str());
    std::fputs("Try 'quon-ctl --help'.\n", stderr);
    return kExitError;
}

int noAnswer(const std::string& socketPath, const std::string& reason)
{
    std::fprintf(stderr, "quon-ctl: no uploader answers at %s (%s)\n", socketPath.c_str(), reason.c_str());
    return kExitNoAnswer;
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events; false on time-out.
bool waitReady(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, remainingMs(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

AppleEvent parameterCommand(const std::string& word, const std::string& key, const std::string& value)
{
    AppleEvent event;
    event.eventClass = AppleEventCode::kClassQuon;
    event.eventID = AppleEventCode::kIdParameter;
    event.directObject = AppleEventDescriptor::listDescriptor({AppleEventDescriptor::descriptorWithString(word),
                                                               AppleEventDescriptor::descriptorWithString(key),
                                                               AppleEventDescriptor::descriptorWithString(value)});
    return event;
}

AppleEvent simpleCommand(const char* eventClass, const char* eventID)
{
    AppleEvent event;
    event.eventClass = eventClass;
    event.eventID = eventID;
    return event;
}

// Sends the event and prints the reply; returns the exit status.
int exchange(const std::string& socketPath, const AppleEvent& event)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
        return usageError("socket path is empty or too long: " + socketPath);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return noAnswer(socketPath, std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    const auto deadline = Clock::now() + kAnswerTimeout;
    // A full backlog answers EAGAIN: the uploader is there but busy, so retry.
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || Clock::now() >= deadline)
            return noAnswer(socketPath, errno == EAGAIN ? "timed out" : std::strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // The command may carry the password: only our own user's uploader gets it.
    std::string why;
    if (!PeerCredentials::peerRunsAs(fd, ::geteuid(), &why)) {
        std::fprintf(stderr, "quon-ctl: refusing to talk to %s: %s\n", socketPath.c_str(), why.c_str());
        return kExitNoAnswer;
    }

    const std::string request = CommandProtocol::encodeRequest(event);
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!waitReady(fd, POLLOUT, deadline))
                return noAnswer(socketPath, "timed out");
        } else {
            return noAnswer(socketPath, std::strerror(errno));
        }
    }

    std::string reply;
    for (;;) {
        const size_t newline = reply.find('\n');
        if (newline != std::string::npos) {
            reply.resize(newline);
            break;
        }
        if (reply.size() > kMaxReplyBytes) {
            std::fputs("quon-ctl: the reply is too long\n", stderr);
            return kExitError;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            reply.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return noAnswer(socketPath, "the connection was closed without a reply");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            if (!waitReady(fd, POLLIN, deadline))
                return noAnswer(socketPath, "timed out waiting for the reply");
        } else {
            return noAnswer(socketPath, std::strerror(errno));
        }
    }

    const CommandProtocol::DecodedReply decoded = CommandProtocol::decodeReply(reply);
    switch (decoded.kind) {
        case CommandProtocol::DecodedReply::Kind::Error:
            std::fprintf(stderr, "quon-ctl: the uploader refused the command: %s\n", decoded.message.c_str());
            return kExitError;
        case CommandProtocol::DecodedReply::Kind::Malformed:
            std::fprintf(stderr, "quon-ctl: unreadable reply: %s\n", decoded.message.c_str());
            return kExitError;
        case CommandProtocol::DecodedReply::Kind::Reply: break;
    }
    if (const std::string* text = decoded.directObject.stringValue()) {
        std::printf("%s\n", text->c_str());
        // A refusal is a reply, but a script must be able to tell it from a success.
        if (*text == kCommandFailed)
            return kExitError;
    } else if (decoded.directObject.isList()) {
        std::printf("%s\n", CommandProtocol::toJsonText(decoded.directObject).c_str());
    }
    return kExitReply;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string socketPath;
    bool socketGiven = false;
    size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            printUsage(stdout);
            return kExitReply;
        }
        if (option == "--version") {
            std::printf("quon-ctl %s\n", QUON_VERSION);
            return kExitReply;
        }
        if (option == "--") {
            ++i;
            break;
        }
        if (option == "--socket") {
            if (i + 1 >= args.size())
                return usageError("--socket needs a path");
            socketPath = args[++i];
            socketGiven = true;
        } else if (option.rfind("--socket=", 0) == 0) {
            socketPath = option.substr(9);
            socketGiven = true;
        } else {
            return usageError("unknown option " + option);
        }
    }
    if (i >= args.size())
        return usageError("no command given");
    if (!socketGiven)
        socketPath = SocketPaths::defaultSocketPath();
    // A path of our own choosing under /tmp is trusted only in a private folder.
    const char* fromEnvironment = std::getenv("QUON_SOCKET");
    const std::string folder = SocketPaths::fallbackFolder(::geteuid());
    struct stat folderInfo { };
    if (!socketGiven && !(fromEnvironment && *fromEnvironment) && SocketPaths::isInFallbackFolder(socketPath) &&
        ::lstat(folder.c_str(), &folderInfo) == 0) {
        std::string why;
        if (!SocketPaths::checkPrivateFolder(folder, ::geteuid(), false, &why)) {
            std::fprintf(stderr, "quon-ctl: refusing the socket at %s: %s\n", socketPath.c_str(), why.c_str());
            return kExitNoAnswer;
        }
    }

    const std::string& command = args[i];
    const std::vector<std::string> operands(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    auto expect = [&](size_t count, const char* synopsis) {
        return operands.size() == count ? std::string() : std::string("usage: quon-ctl ") + synopsis;
    };

    AppleEvent event;
    std::string problem;
    if (command == "upnw" || command == "upload-now" || command == "resume") {
        problem = expect(0, "upnw");
        event = simpleCommand(AppleEventCode::kClassQuon, AppleEventCode::kIdUploadNow);
    } else if (command == "paus" || command == "pause") {
        problem = expect(0, "paus");
        event = simpleCommand(AppleEventCode::kClassQuon, AppleEventCode::kIdPause);
    } else if (command == "quit") {
        problem = expect(0, "quit");
        event = simpleCommand(AppleEventCode::kClassCore, AppleEventCode::kIdQuit);
    } else if (command == "status") {
        problem = expect(0, "status");
        event = simpleCommand(AppleEventCode::kClassQuon, AppleEventCode::kIdStatus);
    } else if (command == "1234") {
        problem = expect(3, "1234 WORD KEY VALUE");
        if (problem.empty())
            event = parameterCommand(operands[0], operands[1], operands[2]);
    } else if (command == "set") {
        problem = expect(2, "set KEY VALUE");
        if (problem.empty())
            event = parameterCommand("setValue", operands[0], operands[1]);
    } else if (command == "get") {
        problem = expect(1, "get KEY");
        if (problem.empty())
            event = parameterCommand("getValue", operands[0], "-");
    } else {
        problem = "unknown command " + command;
    }
    if (!problem.empty())
        return usageError(problem);
    return exchange(socketPath, event);
}
