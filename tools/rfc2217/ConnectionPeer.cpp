#include "tools/rfc2217/ConnectionPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tool {
namespace {

// An endpoint with its address as IPv6 (an IPv4 one mapped, ::ffff:a.b.c.d) and its port.
struct Endpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;

    bool Mapped() const {
        static constexpr std::uint8_t Prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        return std::memcmp(address.data(), Prefix, sizeof Prefix) == 0;
    }
    bool Loopback() const {
        static constexpr std::array<std::uint8_t, 16> V6Loopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                                    0, 0, 0, 0, 0, 0, 0, 1};
        return address == V6Loopback || (Mapped() && address[12] == 127);
    }
    // As the kernel's tables print it: each 32-bit word of the address in this machine's byte
    // order, in hexadecimal, then the port; the IPv4 table holds the last word alone.
    std::string TableText(bool ipv4) const {
        char text[48] = {};
        std::size_t at = 0;
        for (std::size_t word = ipv4 ? 3 : 0; word < 4; ++word) {
            std::uint32_t value = 0;
            std::memcpy(&value, address.data() + word * 4, sizeof value);
            at += static_cast<std::size_t>(
                std::snprintf(text + at, sizeof text - at, "%08X", static_cast<unsigned>(value)));
        }
        std::snprintf(text + at, sizeof text - at, ":%04X", static_cast<unsigned>(port));
        return text;
    }
};

std::optional<Endpoint> EndpointOf(const sockaddr_storage& socketAddress) {
    Endpoint endpoint;
    if (socketAddress.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &socketAddress, sizeof v4);
        endpoint.address[10] = endpoint.address[11] = 0xFF;
        std::memcpy(endpoint.address.data() + 12, &v4.sin_addr, 4);
        endpoint.port = ntohs(v4.sin_port);
        return endpoint;
    }
    if (socketAddress.ss_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &socketAddress, sizeof v6);
        std::memcpy(endpoint.address.data(), &v6.sin6_addr, 16);
        endpoint.port = ntohs(v6.sin6_port);
        return endpoint;
    }
    return std::nullopt;
}

// The owner of the socket whose own end is local and whose far end is remote. A socket in
// TIME_WAIT has no owner any more (the table shows 0, which is not root).
constexpr char TimeWait[] = "06";

std::optional<uid_t> SocketOwner(const char* table, const std::string& local,
                                 const std::string& remote) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the heading
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, own, far, state, queues, timer, retransmits;
        unsigned long user = 0;
        if (fields >> slot >> own >> far >> state >> queues >> timer >> retransmits >> user &&
            own == local && far == remote && state != TimeWait) {
            return static_cast<uid_t>(user);
        }
    }
    return std::nullopt;
}

}  // namespace

ConnectionPeer IdentifyPeer(int connection) {
    ConnectionPeer peer;
    sockaddr_storage far{}, own{};
    socklen_t farSize = sizeof far, ownSize = sizeof own;
    if (getpeername(connection, reinterpret_cast<sockaddr*>(&far), &farSize) != 0 ||
        getsockname(connection, reinterpret_cast<sockaddr*>(&own), &ownSize) != 0) {
        return peer;
    }
    const std::optional<Endpoint> remote = EndpointOf(far);
    const std::optional<Endpoint> local = EndpointOf(own);
    if (!remote || !local) return peer;
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, remote->address.data(), text, sizeof text);
    peer.address = std::string(remote->Mapped() ? text + 7 : text) + " port " +  // past ::ffff:
                   std::to_string(remote->port);
    peer.loopback = remote->Loopback();
    // The peer's socket is in the IPv6 table when it is an IPv6 one, even when it speaks to an
    // IPv4 address (mapped); an IPv4 socket is in the IPv4 table.
    peer.user = SocketOwner("/proc/net/tcp6", remote->TableText(false), local->TableText(false));
    if (!peer.user && remote->Mapped() && local->Mapped()) {
        peer.user = SocketOwner("/proc/net/tcp", remote->TableText(true), local->TableText(true));
    }
    return peer;
}

}  // namespace tool
