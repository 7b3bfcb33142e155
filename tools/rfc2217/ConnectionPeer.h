// Who is at the other end of a TCP connection. For a connection from this machine the kernel
// knows the process's user: it lists every socket with its owner in /proc/net/tcp and
// /proc/net/tcp6, where the peer's socket is the one whose own address is the connection's far
// end. (SO_PEERCRED answers this for Unix sockets only.)
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tool {

struct ConnectionPeer {
    std::string address;        // "127.0.0.1 port 40312", for messages
    bool loopback = false;      // from a loopback address
    std::optional<uid_t> user;  // the owner of the peer's socket, found on this machine
};

ConnectionPeer IdentifyPeer(int connection);

}  // namespace tool
