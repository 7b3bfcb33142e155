#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "tools/common/Commands.h"
#include "tools/common/Descriptor.h"
#include "tools/common/DriverLink.h"
#include "tools/common/Interrupt.h"
#include "tools/common/PortWaiter.h"
#include "tools/rfc2217/ComPortSession.h"
#include "tools/rfc2217/ConnectionPeer.h"
#include "tools/rfc2217/Telnet.h"

namespace tool {
namespace {

// Line data held for one direction before the server stops taking more from the other side: the
// line's flow control or TCP's then holds the sender back.
constexpr std::size_t Backlog = 65536;
// Everything waiting for one client (answers and notifications too): beyond this the server
// reads nothing more from the client until it has taken some, so that a client that asks and
// never reads holds itself back instead of growing the server.
constexpr std::size_t ClientOutputLimit = 1 << 20;
// A client that takes nothing for this long while data waits for it is closed, so that the port
// is free for another one.
constexpr auto StalledClient = std::chrono::seconds(30);
// After the client's end of stream, its last bytes go to the line: the server waits the time the
// line needs for them and for a full transmit ring of the driver's before them, and this margin.
constexpr std::size_t DriverTransmitRing = 8192;
constexpr auto EndMargin = std::chrono::seconds(2);
// A line whose flow control holds and releases the far end changes CTS thousands of times a
// second: the modem and line state is looked at no more often than this after a change (and not
// at all while nothing changes), which is as often as the client's notices can tell it anything.
constexpr auto LineLookGap = std::chrono::milliseconds(10);

struct ServeOptions {
    std::optional<Clock::duration> idleLimit;  // none: a client may stay idle for ever
    bool anyUser = false;
    std::optional<std::uint8_t> rxTrigger;  // the port's receive FIFO trigger, when asked for
};

// The server's own setting and what the client made of the port, on a port that a restarted
// driver has reset.
void Restore(quelta::Device& port, const PortState& state, const ServeOptions& options) {
    RestorePortState(port, state);
    if (options.rxTrigger) port.SetReceiveTrigger(*options.rxTrigger);
}

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

// A connection from this machine is let in when the kernel names its user as the server's own or
// root; one from another machine is (the server then listens on a network address, which is
// open to that network). A loopback one whose user is not known is not.
bool Admitted(int client, const ServeOptions& options) {
    if (options.anyUser) return true;
    const ConnectionPeer peer = IdentifyPeer(client);
    if (peer.user ? *peer.user == geteuid() || *peer.user == 0 : !peer.loopback) return true;
    const std::string who = peer.user ? "its user (" + std::to_string(*peer.user) +
                                            ") is neither this server's nor root"
                                      : "its user is not known";
    std::fprintf(stderr, "quelta: refused %s: %s (--any-user lets every local user in)\n",
                 peer.address.c_str(), who.c_str());
    return false;
}

Clock::duration LineTime(const quelta::LineSettings& settings, std::size_t bytes) {
    const int bits = 1 + settings.dataBits + (settings.parity != Parity::None ? 1 : 0) +
                     (settings.stopBits == StopBits::One ? 1 : 2);
    const double seconds =
        static_cast<double>(bytes) * bits / std::max(settings.baudRate, std::int32_t{1});
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// One client's connection, from its greeting to its close.
class Connection {
public:
    // waiter: the port's events, made on the port when missing; the server keeps it from one
    // client to the next, as long as the port it waits on.
    Connection(DriverLink& link, std::optional<PortWaiter>& waiter, int client, int listener,
               const ServeOptions& options)
        : link_(link),
          waiter_(waiter),
          client_(client),
          listener_(listener),
          options_(options),
          buffer_(link.Port().DataAreaSize()) {
        const int yes = 1;
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    }

    // Serves until the client ends or must be closed, through stalls and restarts of the driver.
    // state: the port's state before, and as the client leaves it.
    void Run(PortState& state) {
        while (!Interrupted()) {
            try {
                if (!session_) {
                    session_.emplace(link_.Port());
                    session_->Greet(toClient_);
                }
                if (!waiter_) waiter_.emplace(link_.Port(), PortEvent::FromDriver, LineLookGap);
                if (!Step()) break;
            } catch (const quelta::Error& error) {
                waiter_.reset();  // it waits on the port that the recovery replaces
                lookAt_ = Clock::now();
                portHasMore_ = true;
                ringFull_ = false;
                if (!link_.Recover(error, [&](quelta::Device& port) {
                        Restore(port, session_ ? session_->State() : state, options_);
                    })) {
                    break;
                }
                lastSend_ = activity_ = Clock::now();  // a stall is not the client's
            }
        }
        if (session_) state = session_->State();
    }

private:
    bool Step() {
        const bool takeInput = !ended_ && !session_->Unfinished() && toPort_.size() < Backlog &&
                               toClient_.size() < ClientOutputLimit;
        pollfd watch[3] = {
            {client_, 0, 0}, {listener_, POLLIN, 0}, {waiter_->Descriptor(), POLLIN, 0}};
        if (takeInput) watch[0].events |= POLLIN;
        if (!toClient_.empty() && !gone_) watch[0].events |= POLLOUT;
        // A client that has gone reports its hang-up at once, whatever is asked: it is not
        // watched while nothing is wanted of it.
        if (watch[0].events == 0) watch[0].fd = -1;
        if (poll(watch, 3, moved_ ? 0 : WaitMilliseconds()) < 0 && errno != EINTR) return false;
        moved_ = false;
        const std::uint32_t events = waiter_->Take();
        if ((events & PortEvent::Received) != 0) portHasMore_ = true;
        if ((watch[1].revents & POLLIN) != 0) RefuseWaiting(listener_);
        if (session_->Unfinished() && toPort_.empty() &&
            !session_->FromClient({}, toPort_, toClient_)) {
            End();
        }
        if (takeInput && (watch[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadClient();
        const ComPortSession::Purged purged = session_->TakePurge();
        if (purged.transmit) toPort_.clear();
        if (purged.receive) lineIn_.clear();
        // A full ring is not progress, nor asked again until the port says it has room: what
        // wakes the server meanwhile (a flow-controlled line's CTS) costs the driver nothing.
        if ((events & (PortEvent::TransmitRoom | PortEvent::TransmitRingEmpty)) != 0) {
            ringFull_ = false;
        }
        if (!toPort_.empty() && !ringFull_) {
            ringFull_ = !HandOver(link_.Port(), toPort_);
            moved_ = moved_ || !ringFull_;
        }
        ReadPort();
        // The modem and line state is looked at when the driver says it changed.
        if (!lookAt_ && (events & (PortEvent::ModemChange | PortEvent::LineError)) != 0) {
            lookAt_ = std::max(Clock::now(), lastLook_ + LineLookGap);
        }
        if (lookAt_ && Clock::now() >= *lookAt_) {
            session_->Poll(toClient_);
            lastLook_ = Clock::now();
            lookAt_.reset();
        }
        if (!SendToClient()) return false;
        if (ended_) return Finishing();
        if (options_.idleLimit && Clock::now() - activity_ > *options_.idleLimit) {
            std::fprintf(stderr, "quelta: the client was idle for %g s: closed\n",
                         std::chrono::duration<double>(*options_.idleLimit).count());
            return false;
        }
        return true;
    }

    // Until the next time limit that a step looks at, or for ever (-1) when none is running.
    int WaitMilliseconds() const {
        std::optional<Clock::time_point> next;
        const auto sooner = [&](Clock::time_point at) { next = next ? std::min(*next, at) : at; };
        if (ended_) sooner(endBy_);
        if (lookAt_) sooner(*lookAt_);
        if (options_.idleLimit) sooner(activity_ + *options_.idleLimit);
        if (!toClient_.empty() && !gone_) sooner(lastSend_ + StalledClient);
        if (!next) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
        return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
    }

    void ReadClient() {
        const ssize_t count = recv(client_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (count > 0) {
            activity_ = Clock::now();
            moved_ = true;
            // Beyond understanding, the connection ends as it would at the client's end.
            if (session_->FromClient(std::span(buffer_.data(), static_cast<std::size_t>(count)),
                                     toPort_, toClient_)) {
                return;
            }
        }
        End();
    }

    // The client's end of stream, a reset, or input beyond understanding: what came before still
    // goes to the line.
    void End() {
        if (ended_) return;
        ended_ = true;
        endBy_ = Clock::now() +
                 LineTime(session_->State().settings, toPort_.size() + DriverTransmitRing) +
                 EndMargin;
    }

    // Once the client has ended: done when its bytes are all with the driver, or given up when the
    // line has not taken them in the time it needs (flow control holding it).
    bool Finishing() {
        if (toPort_.empty() && !session_->Unfinished()) return false;
        if (Clock::now() < endBy_) return true;
        std::fprintf(stderr,
                     "quelta: the port did not take the client's last %zu bytes in time (is "
                     "flow control holding the line?): dropped\n",
                     toPort_.size());
        return false;
    }

    void ReadPort() {
        // Asked only when bytes came since a read that emptied the ring.
        if (portHasMore_ && !session_->Suspended() && lineIn_.size() < Backlog) {
            const std::size_t count = link_.Port().Read(buffer_);
            portHasMore_ = count == buffer_.size();
            lineIn_.insert(lineIn_.end(), buffer_.begin(),
                           buffer_.begin() + static_cast<std::ptrdiff_t>(count));
            moved_ = moved_ || count > 0;
        }
        if (!lineIn_.empty() && toClient_.size() < Backlog) {
            telnet::AppendEscaped(lineIn_, toClient_);
            lineIn_.clear();
        }
    }

    // False when the client must be closed.
    bool SendToClient() {
        if (toClient_.empty() || gone_) {
            toClient_.clear();  // nobody to take it once the client is gone
            lastSend_ = Clock::now();
            return true;
        }
        const ssize_t sent =
            send(client_, toClient_.data(), toClient_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            toClient_.erase(toClient_.begin(), toClient_.begin() + sent);
            lastSend_ = activity_ = Clock::now();
            moved_ = true;
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            gone_ = true;  // it reads no more; what it sent before still goes to the line
        } else if (Clock::now() - lastSend_ > StalledClient) {
            std::fprintf(stderr, "quelta: the client took nothing for %lld s: closed\n",
                         static_cast<long long>(StalledClient.count()));
            return false;
        }
        return true;
    }

    DriverLink& link_;
    std::optional<PortWaiter>& waiter_;
    int client_;
    int listener_;
    const ServeOptions& options_;
    std::optional<ComPortSession> session_;
    std::vector<std::uint8_t> toClient_;  // Telnet bytes ready to send
    std::vector<std::uint8_t> lineIn_;    // line data for the client, not yet escaped
    std::vector<std::uint8_t> toPort_;    // the client's data for the line
    std::vector<std::uint8_t> buffer_;
    Clock::time_point lastSend_ = Clock::now();
    Clock::time_point activity_ = Clock::now();  // the last byte from or to the client
    Clock::time_point endBy_;
    bool ended_ = false;  // the client has sent all it will
    bool gone_ = false;   // the client can no longer be sent anything
    bool moved_ = true;
    bool portHasMore_ = true;  // bytes may wait in the receive ring
    bool ringFull_ = false;    // the transmit ring took less than it was given
    // When to look at the modem and line state: at the start, and after a change.
    std::optional<Clock::time_point> lookAt_ = Clock::now();
    Clock::time_point lastLook_;
};

int RunServe(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    const auto portText = arguments.Value("--port");
    if (!portText) throw UsageError("serve needs --port N");
    const unsigned long tcpPort = ParseCount(*portText, "--port", 65535);
    if (tcpPort == 0) throw UsageError("--port must be 1 to 65535");
    ServeOptions options;
    options.anyUser = arguments.Has("--any-user");
    options.rxTrigger = ReceiveTriggerOption(arguments);
    if (const auto idle = arguments.Value("--idle-timeout")) {
        const double seconds = ParseSeconds(*idle, "--idle-timeout");
        if (seconds > 0) options.idleLimit = ToMilliseconds(seconds);
    }
    const std::string address = arguments.Value("--bind").value_or("127.0.0.1");
    const Descriptor listener = Listen(address, std::to_string(tcpPort));
    DriverLink link(invocation, invocation.Argument(0, "device"), DriverEnd::Reattach);
    PortState state = ReadPortState(link.Port());
    // A port that nobody has configured receives nothing; one that runs with these settings is
    // sent nothing.
    link.Port().Configure(state.settings);
    if (options.rxTrigger) link.Port().SetReceiveTrigger(*options.rxTrigger);
    CatchInterrupts();
    std::printf("%s: RFC 2217 on %s port %lu (Ctrl-C ends)\n", link.ShortName().c_str(),
                address.c_str(), tcpPort);
    std::fflush(stdout);
    // Without a client the server sleeps on the listener and the port's events, which end when
    // the driver has ended.
    std::optional<PortWaiter> waiter;
    while (!Interrupted()) {
        try {
            if (!waiter) waiter.emplace(link.Port(), PortEvent::FromDriver, LineLookGap);
            pollfd watch[2] = {{listener.Get(), POLLIN, 0}, {waiter->Descriptor(), POLLIN, 0}};
            if (poll(watch, 2, -1) <= 0) continue;  // a signal
            if ((watch[0].revents & POLLIN) != 0) {
                const Descriptor client(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (client.Valid() && Admitted(client.Get(), options)) {
                    Connection(link, waiter, client.Get(), listener.Get(), options).Run(state);
                }
            }
            if (waiter) (void)waiter->Take();
        } catch (const quelta::Error& error) {
            waiter.reset();  // it waits on the port that the recovery replaces
            if (!link.Recover(error,
                              [&](quelta::Device& port) { Restore(port, state, options); })) {
                break;
            }
        }
    }
    return ExitInterrupted;
}

}  // namespace

std::vector<CommandEntry> ServeCommands() {
    // clang-format off
    return {
        {"serve",
         "serve DEV --port N [--bind ADDR] [--idle-timeout S] [--rx-trigger N] [--any-user] "
         "[--shared]",
         "serve the port over the network (RFC 2217)",
         "Serves the port to one network client at a time with the Telnet COM port control\n"
         "option (RFC 2217), as pyserial's rfc2217:// URLs, ser2net clients and terminal servers\n"
         "speak it: line data both ways (0xFF doubled), baud rate, data size, parity, stop size,\n"
         "flow control, DTR, RTS, break, purge, and notifications of the modem and line state\n"
         "under the client's masks. A second client is refused while one is connected. What a\n"
         "client sent before it closed (or half-closed) its connection still goes to the line.\n"
         "A client that sends what cannot be understood, or takes no data for 30 s while data\n"
         "waits, is closed; while 1 MiB waits for a client, its input is not read. The channel's\n"
         "flow control works both ways at once: inbound and outbound flow settings are one; DCD,\n"
         "DTR and DSR flow control are not offered.\n\n"
         "Connections from this machine are let in only from this server's user and root, as\n"
         "the kernel names the owner of the client's socket. A driver that stops answering is\n"
         "waited for; when it has ended, the server waits for a driver with the same names and\n"
         "puts the port's settings back. Runs until Ctrl-C.\n\n"
         "Options:\n"
         "  --port N            TCP port to listen on\n"
         "  --bind ADDR         address to listen on (default 127.0.0.1: this machine only; with\n"
         "                      0.0.0.0 or :: every machine that reaches this one may connect,\n"
         "                      without authentication)\n"
         "  --idle-timeout S    close a client when no byte has gone either way for S seconds\n"
         "                      (default 0: never), so that the one slot is not held for ever\n"
         "  --rx-trigger N      receive FIFO level at which the port interrupts, 1 to 56 (the\n"
         "                      open sets 56): a low one hands short frames on at once instead\n"
         "                      of after four character times; set again on a restarted driver\n"
         "  --any-user          let in connections of every local user\n"
         "  --shared            do not take the port for this server alone\n",
         {{"--port", true}, {"--bind", true}, {"--idle-timeout", true}, {"--rx-trigger", true},
          {"--any-user", false}, {"--shared", false}}, 1, 1, RunServe},
    };
    // clang-format on
}

}  // namespace tool
