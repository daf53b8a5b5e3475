#include "remote/PeerCredentials.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

bool PeerCredentials::ofSocket(int fd, PeerCredentials* peer, std::string* error)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials) {
        if (error)
            *error = std::string("the peer's user cannot be told: ") + std::strerror(errno);
        return false;
    }
    peer->pid = credentials.pid;
    peer->uid = credentials.uid;
    peer->gid = credentials.gid;
    return true;
}

bool PeerCredentials::peerRunsAs(int fd, uid_t uid, std::string* error)
{
    PeerCredentials peer;
    if (!ofSocket(fd, &peer, error))
        return false;
    if (peer.uid == uid)
        return true;
    if (error)
        *error = "the other end runs as uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) +
            "), not as uid " + std::to_string(uid);
    return false;
}
