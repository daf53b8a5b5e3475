#include "util/CurlSockets.h"

#include <sys/socket.h>

curl_socket_t openSocketCloseOnExec(void*, curlsocktype, curl_sockaddr* address)
{
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}
