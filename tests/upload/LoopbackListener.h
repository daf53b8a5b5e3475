#pragma once

// A listening socket on 127.0.0.1 at a free port, for the tests' own small servers.

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

// The listening descriptor (close-on-exec); *port is 0 when it could not listen.
inline int listenOnLoopback(uint16_t* port, int backlog = 4)
{
    *port = 0;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener, backlog) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        *port = ntohs(address.sin_port);
    return listener;
}
