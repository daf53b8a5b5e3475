#pragma once

#include "LoopbackListener.h"
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A loopback HTTP endpoint that stops reading a request after its first
// bytes until the test lets it go on: the test can change a photo while the
// upload is provably in the middle of sending it. Answers each request with
// the web service's OK reply once it has read the body (or the client gave
// up). One request at a time.
class StallingServer {
public:
    explicit StallingServer(size_t stallAfterBytes) : fStallAfter(stallAfterBytes)
    {
        fListener = listenOnLoopback(&fPort);
        fThread = std::thread([this] { serve(); });
    }
    ~StallingServer()
    {
        fStopping = true;
        resume();
        ::shutdown(fListener, SHUT_RDWR);
        fThread.join();
        ::close(fListener);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(fPort) + "/upload"; }

    // Blocks until a request has stalled (false after the timeout).
    bool waitUntilStalled(std::chrono::seconds timeout)
    {
        std::unique_lock lock(fMutex);
        return fChanged.wait_for(lock, timeout, [this] { return fStalled; });
    }
    void resume()
    {
        std::lock_guard lock(fMutex);
        fResumed = true;
        fChanged.notify_all();
    }
    int requests() const { return fRequests.load(); }
    // Bytes read of the last request, headers included.
    size_t bytesRead() const { return fBytesRead.load(); }

private:
    void serve()
    {
        while (!fStopping) {
            const int connection = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                return;
            ++fRequests;
            fBytesRead = 0;
            char buffer[64 * 1024];
            std::string head;
            size_t bodyLength = 0, headLength = 0;
            for (;;) {
                if (fBytesRead >= fStallAfter && !fStalled) {
                    std::unique_lock lock(fMutex);
                    fStalled = true;
                    fChanged.notify_all();
                    fChanged.wait(lock, [this] { return fResumed; });
                }
                const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                fBytesRead += static_cast<size_t>(n);
                if (headLength == 0) {
                    head.append(buffer, static_cast<size_t>(n));
                    if (const size_t end = head.find("\r\n\r\n"); end != std::string::npos) {
                        headLength = end + 4;
                        const size_t field = head.find("Content-Length: ");
                        if (field != std::string::npos && field < end)
                            bodyLength = std::stoull(head.substr(field + 16));
                    }
                }
                if (headLength != 0 && fBytesRead >= headLength + bodyLength)
                    break;
            }
            const std::string reply = "<reply><status>OK</status><message>stored</message></reply>";
            const std::string answer =
                "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
                std::to_string(reply.size()) + "\r\n\r\n" + reply;
            ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(connection);
        }
    }

    const size_t fStallAfter;
    int fListener = -1;
    uint16_t fPort = 0;
    std::thread fThread;
    std::atomic<bool> fStopping{false};
    std::atomic<int> fRequests{0};
    std::atomic<size_t> fBytesRead{0};
    std::mutex fMutex;
    std::condition_variable fChanged;
    bool fStalled = false;
    bool fResumed = false;
};
