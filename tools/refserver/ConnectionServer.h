#pragma once

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// The HTTP server, serving each connection itself so that a handler knows the
// socket its request came on: a dropped or hung request is ended on its own
// connection, never on a descriptor found by searching the process.
class ConnectionServer : public httplib::Server {
public:
    // The connection of the request handled on the calling thread; -1 outside a handler.
    static int currentConnection() { return tConnection; }

private:
    inline static thread_local int tConnection = -1;

    bool process_and_close_socket(socket_t sock) override
    {
        tConnection = sock;
        bool ok = false;
        httplib::detail::process_client_socket(sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_,
                                               write_timeout_usec_, [&](httplib::Stream& stream) {
                                                   for (size_t left = keep_alive_max_count_;
                                                        left > 0 && nextRequestArrives(sock); --left) {
                                                       bool closed = false;
                                                       ok = process_request(stream, left == 1, closed, nullptr);
                                                       if (!ok || closed)
                                                           break;
                                                   }
                                                   return ok;
                                               });
        tConnection = -1;
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    // Waits up to the keep-alive time for bytes (or the client's leaving) while the server runs.
    bool nextRequestArrives(int sock) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
        while (svr_sock_ != INVALID_SOCKET) {
            pollfd watch{sock, POLLIN, 0};
            const int n = ::poll(&watch, 1, 100);
            if (n > 0)
                return true;
            if ((n < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= end)
                return false;
        }
        return false;
    }
};
