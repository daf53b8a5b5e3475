#pragma once

#include <string>
#include <sys/types.h>

// The process at the other end of a connected Unix-domain socket, as the
// kernel recorded it (SO_PEERCRED): for a client, the server that listens;
// for a server, the client that connected.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);

    // False and the reason when the kernel cannot tell.
    static bool ofSocket(int fd, PeerCredentials* peer, std::string* error);

    // True when the peer runs under uid; otherwise false and a reason that
    // names both users and the peer's process.
    static bool peerRunsAs(int fd, uid_t uid, std::string* error);
};
