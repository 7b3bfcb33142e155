#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"
#include "tools/common/Descriptor.h"
#include "tools/common/Interrupt.h"
#include "tools/rfc2217/ComPortSession.h"
#include "tools/rfc2217/Telnet.h"

namespace tool {
namespace {

// Bytes held for one direction before the server stops taking more from the other side: the
// line's flow control or TCP's then holds the sender back.
constexpr std::size_t Backlog = 65536;
constexpr int IdlePollMilliseconds = 1;
constexpr auto StatePollInterval = std::chrono::milliseconds(10);
// A client that takes nothing for this long while line data waits for it is closed, so that the
// port is free for another one.
constexpr auto StalledClient = std::chrono::seconds(30);

Descriptor Listen(const std::string& address, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        throw UsageError("--bind must be a numeric address such as 127.0.0.1 or ::1");
    }
    Descriptor listener(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool bound = listener.Valid() &&
                       bind(listener.Get(), found->ai_addr, found->ai_addrlen) == 0 &&
                       listen(listener.Get(), 4) == 0;
    const int error = errno;
    freeaddrinfo(found);
    if (!bound) {
        throw std::runtime_error("cannot listen on " + address + " port " + port + ": " +
                                 std::strerror(error));
    }
    return listener;
}

// One client at a time: a second one is closed at once.
void RefuseWaiting(int listener) { Descriptor(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)); }

void Serve(quelta::Device& port, int client, int listener) {
    const int yes = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    ComPortSession session(port);
    std::vector<std::uint8_t> toClient;  // Telnet bytes ready to send
    std::vector<std::uint8_t> lineIn;    // line data for the client, not yet escaped
    std::vector<std::uint8_t> toPort;    // the client's data for the line
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(port.DataAreaSize(), 4096));
    session.Greet(toClient);
    auto nextStatePoll = Clock::now();
    auto lastSend = Clock::now();
    bool moved = true;
    while (!Interrupted()) {
        pollfd watch[2] = {{client, 0, 0}, {listener, POLLIN, 0}};
        if (toPort.size() < Backlog) watch[0].events |= POLLIN;
        if (!toClient.empty()) watch[0].events |= POLLOUT;
        if (poll(watch, 2, moved ? 0 : IdlePollMilliseconds) < 0 && errno != EINTR) return;
        moved = false;
        if ((watch[1].revents & POLLIN) != 0) RefuseWaiting(listener);
        if ((watch[0].revents & (POLLERR | POLLNVAL)) != 0) return;
        if ((watch[0].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t count = recv(client, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) return;
            if (count > 0 &&
                !session.FromClient(std::span(buffer.data(), static_cast<std::size_t>(count)),
                                    toPort, toClient)) {
                return;  // beyond understanding: closed
            }
        }
        const ComPortSession::Purged purged = session.TakePurge();
        if (purged.transmit) toPort.clear();
        if (purged.receive) lineIn.clear();
        if (!toPort.empty()) {
            const std::size_t taken = port.Write(toPort);
            toPort.erase(toPort.begin(), toPort.begin() + static_cast<std::ptrdiff_t>(taken));
            moved = moved || taken > 0;
        }
        if (!session.Suspended() && lineIn.size() < Backlog) {
            const std::size_t count = port.Read(buffer);
            lineIn.insert(lineIn.end(), buffer.begin(),
                          buffer.begin() + static_cast<std::ptrdiff_t>(count));
            moved = moved || count > 0;
        }
        if (!lineIn.empty() && toClient.size() < Backlog) {
            telnet::AppendEscaped(lineIn, toClient);
            lineIn.clear();
        }
        if (Clock::now() >= nextStatePoll) {
            session.Poll(toClient);
            nextStatePoll = Clock::now() + StatePollInterval;
        }
        if (!toClient.empty()) {
            const ssize_t sent =
                send(client, toClient.data(), toClient.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EINTR) return;
            if (sent > 0) {
                toClient.erase(toClient.begin(), toClient.begin() + sent);
                lastSend = Clock::now();
                moved = true;
            } else if (Clock::now() - lastSend > StalledClient) {
                std::fprintf(stderr, "quelta: the client took nothing for %lld s: closed\n",
                             static_cast<long long>(StalledClient.count()));
                return;
            }
        } else {
            lastSend = Clock::now();
        }
    }
}

int RunServe(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    const auto portText = arguments.Value("--port");
    if (!portText) throw UsageError("serve needs --port N");
    const unsigned long tcpPort = ParseCount(*portText, "--port", 65535);
    if (tcpPort == 0) throw UsageError("--port must be 1 to 65535");
    const std::string address = arguments.Value("--bind").value_or("127.0.0.1");
    const Descriptor listener = Listen(address, std::to_string(tcpPort));
    quelta::Device port = invocation.OpenExclusive(invocation.Argument(0, "device"));
    CatchInterrupts();
    std::printf("%s: RFC 2217 on %s port %lu (Ctrl-C ends)\n",
                quelta::ShortDeviceName(port.Name()).c_str(), address.c_str(), tcpPort);
    std::fflush(stdout);
    while (!Interrupted()) {
        pollfd watch{listener.Get(), POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) continue;
        const Descriptor client(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.Valid()) Serve(port, client.Get(), listener.Get());
    }
    return ExitInterrupted;
}

}  // namespace

std::vector<CommandEntry> ServeCommands() {
    // clang-format off
    return {
        {"serve", "serve DEV --port N [--bind ADDR] [--shared]",
         "serve the port over the network (RFC 2217)",
         "Serves the port to one network client at a time with the Telnet COM port control\n"
         "option (RFC 2217), as pyserial's rfc2217:// URLs, ser2net clients and terminal servers\n"
         "speak it: line data both ways (0xFF doubled), baud rate, data size, parity, stop size,\n"
         "flow control, DTR, RTS, break, purge, and notifications of the modem and line state\n"
         "under the client's masks. A second client is refused while one is connected; a client\n"
         "that sends what cannot be understood, or takes no data for 30 s while data waits, is\n"
         "closed. The channel's flow control works both ways at once: inbound and outbound flow\n"
         "settings are one; DCD, DTR and DSR flow control are not offered. Runs until Ctrl-C.\n\n"
         "Options:\n"
         "  --port N       TCP port to listen on\n"
         "  --bind ADDR    address to listen on (default 127.0.0.1: this machine only; give\n"
         "                 0.0.0.0 or :: to serve the network)\n"
         "  --shared       do not take the port for this server alone\n",
         {{"--port", true}, {"--bind", true}, {"--shared", false}}, 1, 1, RunServe},
    };
    // clang-format on
}

}  // namespace tool
