// The bridges that let any serial program use a driver port, each against a running driver on
// the default machine (Serial0 and Serial1 are a null-modem pair): stty and shell programs on the
// pty of `quelta pty`, pyserial's own RFC 2217 client on `quelta serve`, and the server's answers
// to raw Telnet input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "client/Device.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/system/RunningDriver.h"

namespace {

using namespace systemtest;
using testsupport::ChildProcess;
using testsupport::Eventually;

ChildProcess Python(const std::string& script, const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {"-c", script};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return ChildProcess("/usr/bin/python3", words);
}

// A second client of a port a bridge holds: it attaches, never resetting the port.
quelta::Device Attach(const std::string& name) {
    return quelta::Device(name, {.mode = quelta::OpenMode::Attach});
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245 + 12345;
        bytes[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

// Bytes that reach fd within the time, up to count.
std::string ReadFrom(int fd, std::size_t count, std::chrono::seconds limit = 10s) {
    std::string got;
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (got.size() < count && std::chrono::steady_clock::now() < giveUp) {
        pollfd watch{fd, POLLIN, 0};
        char buffer[4096];
        const std::size_t room = std::min(sizeof buffer, count - got.size());
        const ssize_t n = poll(&watch, 1, 50) > 0 ? read(fd, buffer, room) : 0;
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

speed_t PtySpeed(int fd) {
    termios mode{};
    tcgetattr(fd, &mode);
    return cfgetospeed(&mode);
}

// The pty of `quelta pty` as a serial tty: stty's settings reach the port (not the size and
// parity a pty cannot carry, and no XON/XOFF with the characters undefined) once a program holds
// the pty; a program that opens it raises DTR and RTS and its close drops them; what arrived while
// nobody had it open is gone; a rate the driver refuses is taken back on the pty.
TEST(Bridge, PtyBehavesAsASerialTty) {
    RunningDriver driver(DefaultBoard);
    quelta::Device peer = RunningDriver::Open("Serial1");
    RunningDriver::Open("Serial0").Configure({.dataBits = 7, .parity = Parity::Even});
    const std::string link = "/tmp/quelta-bridge-" + testsupport::UniqueNamespace("pty");
    // Shared, so that the test can look at the port meanwhile.
    ChildProcess bridge(QUELTA_TOOL_PATH, {"pty", "Serial0", link, "--shared"},
                        {{"RTSS_NAMESPACE", driver.Namespace()}});
    ASSERT_TRUE(bridge.WaitForOutput(" -> /dev/")) << bridge.Err();
    EXPECT_EQ(testsupport::Run("/bin/stty", {"-F", link, "57600", "cstopb", "crtscts", "raw",
                                             "-echo", "ixon", "start", "undef", "stop", "undef"})
                  .exitCode,
              0);
    quelta::Device port = Attach("Serial0");
    const quelta::LineSettings asked{.baudRate = 57600,
                                     .dataBits = 7,
                                     .parity = Parity::Even,
                                     .stopBits = StopBits::Two,
                                     .flowControl = FlowControl::RtsCts};
    // Without flow control of its own: with a closed tty's RTS down it could not send at all.
    peer.Configure(
        {.baudRate = 57600, .dataBits = 7, .parity = Parity::Even, .stopBits = StopBits::Two});
    peer.SetRts(true);
    const auto linesUp = [&](bool up) {
        return Eventually([&] {
            const quelta::ModemStatus modem = peer.GetModemStatus();
            return modem.dsr == up && modem.cts == up;
        });
    };
    // A break, which the port counts when it arrives, brings a NUL that nobody may read.
    peer.SetBreak(true);
    std::this_thread::sleep_for(20ms);
    peer.SetBreak(false);
    EXPECT_TRUE(Eventually([&] {
        return port.GetErrorCounts().breaks == 1 && port.GetRxCount() == 0;
    })) << "taken off the port";
    // Automatic flow control raises RTS: the far end stays held while no program has the pty
    // (stty's own open may or may not have let the change in; its close dropped the lines again).
    EXPECT_TRUE(linesUp(false)) << "held while nobody holds the pty";
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(linesUp(true)) << "DTR and RTS raised by the open";
    EXPECT_EQ(port.GetSettings().settings, asked);
    peer.WriteAll("fresh", 5s);
    EXPECT_EQ(ReadFrom(fd, 5), "fresh");
    EXPECT_EQ(write(fd, "hello", 5), 5);
    std::vector<std::uint8_t> got(5);
    peer.ReadExact(got, 10s);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
    termios mode{};
    tcgetattr(fd, &mode);
    cfsetspeed(&mode, B1500000);
    tcsetattr(fd, TCSANOW, &mode);
    EXPECT_TRUE(Eventually([&] { return PtySpeed(fd) == B57600; })) << "the refused rate undone";
    EXPECT_EQ(port.GetSettings().settings, asked);
    close(fd);
    EXPECT_TRUE(linesUp(false)) << "dropped by the last close (hupcl)";
    kill(bridge.Pid(), SIGINT);
    EXPECT_EQ(bridge.Wait(), 130);
    EXPECT_NE(bridge.Err().find("1500000 baud"), std::string::npos) << bridge.Err();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "link removed";
}

// Two bridged ports of the null-modem pair at 921,600 baud with RTS/CTS: what cat writes into one
// pty comes out of the other whole and in order.
TEST(Bridge, PtyToPtyLosesNothingAtFullSpeed) {
    RunningDriver driver(DefaultBoard);
    RunningDriver::Open("Serial1");
    std::vector<std::unique_ptr<ChildProcess>> bridges;
    std::vector<std::string> links;
    for (const char* device : {"Serial0", "Serial1"}) {
        links.push_back("/tmp/quelta-bridge-" + testsupport::UniqueNamespace(device));
        bridges.push_back(std::make_unique<ChildProcess>(
            QUELTA_TOOL_PATH, std::vector<std::string>{"pty", device, links.back()},
            std::map<std::string, std::string>{{"RTSS_NAMESPACE", driver.Namespace()}}));
        ASSERT_TRUE(bridges.back()->WaitForOutput(" -> /dev/")) << bridges.back()->Err();
    }
    const std::string data = links[0] + ".data";
    ChildProcess shell("/bin/sh", {"-c",
                                   "for l in \"$0\" \"$1\"; do stty -F \"$l\" 921600 crtscts raw "
                                   "-echo || exit 1; done; head -c 300000 /dev/urandom > \"$2\"; "
                                   "head -c 300000 \"$1\" > \"$2.out\" & reader=$!; "
                                   "cat \"$2\" > \"$0\"; wait $reader; cmp \"$2\" \"$2.out\"",
                                   links[0], links[1], data});
    const int status = shell.Wait(60s);
    std::error_code missing;
    EXPECT_EQ(status, 0) << shell.Out() << shell.Err() << "\n"
                         << std::filesystem::file_size(data + ".out", missing)
                         << " of 300000 bytes arrived\n"
                         << bridges[0]->Err() << bridges[1]->Err();
    std::remove(data.c_str());
    std::remove((data + ".out").c_str());
    for (const auto& bridge : bridges) {
        kill(bridge->Pid(), SIGINT);  // an orderly end, which removes the link
        EXPECT_EQ(bridge->Wait(), 130);
    }
}

// pyserial's RFC 2217 client: the line settings, DTR and RTS both ways, a break, and a megabyte
// byte-exact in each direction at 921,600 baud with RTS/CTS.
TEST(Bridge, Rfc2217WithPyserialsClient) {
#ifdef __SANITIZE_ADDRESS__
    // The driver drops what its receive ring cannot hold whatever the flow control, and an
    // instrumented reader sharing the machine with other tests can stall long enough for that:
    // the megabyte is the normal build's. The raw-input test runs the server under ASan.
    GTEST_SKIP() << "the megabyte runs in the normal build";
#endif
    constexpr std::size_t Size = 1 << 20;
    RunningDriver driver(DefaultBoard);
    quelta::Device peer = RunningDriver::Open("Serial1");
    const int tcpPort = 20000 + getpid() % 20000;
    // Shared, so that the test can look at the port meanwhile.
    ChildProcess server(QUELTA_TOOL_PATH,
                        {"serve", "Serial0", "--port", std::to_string(tcpPort), "--shared"},
                        {{"RTSS_NAMESPACE", driver.Namespace()}});
    ASSERT_TRUE(server.WaitForOutput("RFC 2217")) << server.Err();
    peer.Configure({.baudRate = 921600, .flowControl = FlowControl::RtsCts});
    ChildProcess program = Python(
        "import serial, sys, threading, time\n"
        "size = int(sys.argv[2]); seed = int(sys.argv[3])\n"
        "def pattern(n, seed):\n"
        "    out = bytearray(n)\n"
        "    for i in range(n):\n"
        "        seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF; out[i] = (seed >> 16) & 0xFF\n"
        "    return bytes(out)\n"
        "s = serial.serial_for_url('rfc2217://127.0.0.1:' + sys.argv[1], baudrate=921600,\n"
        "                          rtscts=True, timeout=150)\n"
        "s.dtr = True\n"
        "print('lines set', flush=True)\n"
        "deadline = time.time() + 10\n"
        "while not (s.dsr and s.cd) and time.time() < deadline: time.sleep(0.01)\n"
        "print('peer dtr seen' if s.dsr and s.cd else 'peer dtr not seen', flush=True)\n"
        "s.send_break(0.05)\n"
        "threading.Thread(target=lambda: s.write(pattern(size, seed))).start()\n"
        "got = s.read(size)\n"
        "print('received', len(got), got == pattern(size, seed + 1), flush=True)\n"
        "time.sleep(0.5); s.close()\n",
        {std::to_string(tcpPort), std::to_string(Size), "7"});
    ASSERT_TRUE(program.WaitForOutput("lines set\n", 20s)) << program.Err();
    EXPECT_TRUE(Eventually([&] {
        const quelta::ModemStatus modem = peer.GetModemStatus();
        return modem.dsr && modem.dcd;
    })) << "DTR up on the far side";
    quelta::Device port = Attach("Serial0");
    EXPECT_EQ(port.GetSettings().settings,
              (quelta::LineSettings{.baudRate = 921600, .flowControl = FlowControl::RtsCts}));
    peer.SetDtr(true);
    ASSERT_TRUE(program.WaitForOutput("peer dtr seen\n", 20s)) << program.Out();
    EXPECT_TRUE(Eventually([&] { return peer.GetErrorCounts().breaks == 1; }));
    std::vector<std::uint8_t> zero(1);
    peer.ReadExact(zero, 5s);  // the break's character
    // Generous limits: under the sanitizers, with other tests running, the Python client is the
    // slow end; a thread that is joined whatever happens keeps a failure a failure.
    std::string sendFailure;
    std::jthread sender([&] {
        try {
            peer.WriteAll(Pattern(Size, 8), 30s);
        } catch (const quelta::Error& error) {
            sendFailure = error.what();
        }
    });
    std::vector<std::uint8_t> got(Size);
    peer.ReadExact(got, 150s);
    sender.join();
    EXPECT_EQ(sendFailure, "");
    EXPECT_TRUE(got == Pattern(Size, 7)) << "the client's megabyte arrived byte-exact";
    EXPECT_EQ(program.Wait(150s), 0) << program.Err();
    EXPECT_NE(program.Out().find("received 1048576 True"), std::string::npos) << program.Out();
    for (quelta::Device* side : {&peer, &port}) {
        const quelta::ErrorCounts counts = side->GetErrorCounts();
        EXPECT_EQ(counts.overruns + counts.ringOverruns, 0u) << side->Name();
    }
}

class RawClient {
public:
    explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::vector<std::uint8_t>& bytes) {
        EXPECT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until `ends` says it is enough, the server closes, or the time
    // passes.
    std::vector<std::uint8_t> Receive(
        const std::function<bool(const std::vector<std::uint8_t>&)>& ends,
        std::chrono::seconds limit = 5s) {
        const auto giveUp = std::chrono::steady_clock::now() + limit;
        while (!ends(received_) && std::chrono::steady_clock::now() < giveUp) {
            pollfd watch{fd_, POLLIN, 0};
            if (poll(&watch, 1, 50) <= 0) continue;
            std::uint8_t buffer[4096];
            const ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
            if (count <= 0) {
                closed_ = true;
                break;
            }
            received_.insert(received_.end(), buffer, buffer + count);
        }
        return received_;
    }
    bool Closed() const { return closed_; }
    void ShutdownWrite() { shutdown(fd_, SHUT_WR); }
    int Fd() const { return fd_; }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::vector<std::uint8_t> received_;
};

bool Contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// How bytes that should have come once and in order differ from those sent ("" when they do
// not): a stretch sent twice or lost shows as a count off the size and where the two part.
std::string Difference(const std::vector<std::uint8_t>& got,
                       const std::vector<std::uint8_t>& sent) {
    if (got == sent) return "";
    const auto parted = std::mismatch(got.begin(), got.end(), sent.begin(), sent.end());
    return std::to_string(got.size()) + " of " + std::to_string(sent.size()) +
           " bytes, parting at " + std::to_string(parted.first - got.begin());
}

// Raw Telnet input: refusals of unknown options, 0xFF doubled both ways, a second client refused,
// a truncated subnegotiation closed, and the server serving the next client after each.
TEST(Bridge, Rfc2217ServerAnswersRawInput) {
    RunningDriver driver(DefaultBoard);
    quelta::Device peer = RunningDriver::Open("Serial1");
    const int tcpPort = 20000 + (getpid() + 7) % 20000;
    // Shared, so that the test can look at the port meanwhile.
    ChildProcess server(QUELTA_TOOL_PATH,
                        {"serve", "Serial0", "--port", std::to_string(tcpPort), "--shared"},
                        {{"RTSS_NAMESPACE", driver.Namespace()}});
    ASSERT_TRUE(server.WaitForOutput("RFC 2217")) << server.Err();
    {
        RawClient client(tcpPort);
        ASSERT_TRUE(client.Connected());
        // WILL 99 and DO 99 are refused; a baud rate of 57600 is set and answered with its value,
        // after the byte sent before it has gone out at 9600.
        peer.Configure({});
        client.Send({255, 251, 99, 255, 253, 99, 'z', 255, 250, 44, 1, 0, 0, 0xE1, 0, 255, 240});
        std::vector<std::uint8_t> first(1);
        peer.ReadExact(first, 5s);
        EXPECT_EQ(first[0], 'z');
        const std::vector<std::uint8_t> answers = {255, 254, 99, 255, 252, 99};
        const std::vector<std::uint8_t> baud = {255, 250, 44, 101, 0, 0, 0xE1, 0, 255, 240};
        const auto got = client.Receive(
            [&](const auto& in) { return Contains(in, answers) && Contains(in, baud); });
        EXPECT_TRUE(Contains(got, answers) && Contains(got, baud));
        peer.Configure({.baudRate = 57600});
        RawClient second(tcpPort);
        EXPECT_TRUE(second.Receive([](const auto&) { return false; }).empty() && second.Closed())
            << "one client at a time";
        client.Send({'a', 255, 255, 'b'});
        std::vector<std::uint8_t> line(3);
        peer.ReadExact(line, 5s);
        EXPECT_EQ(line, (std::vector<std::uint8_t>{'a', 255, 'b'}));
        peer.WriteAll(std::vector<std::uint8_t>{255, 'c'}, 5s);
        EXPECT_TRUE(Contains(client.Receive([](const auto& in) {
            return Contains(in, {255, 255, 'c'});
        }),
                             {255, 255, 'c'}));
        // Under a line-state mask of 0xFF a break is notified (with both transmit bits of the
        // idle port); while the client holds the flow the port keeps what arrives, and PURGE-DATA 1
        // empties that side.
        client.Send({255, 250, 44, 10, 255, 255, 255, 240, 255, 250, 44, 8, 255, 240});
        peer.SetBreak(true);
        std::this_thread::sleep_for(20ms);
        peer.SetBreak(false);
        // Data ready may be on too: the event can come while the break's character is still in
        // the channel's FIFO.
        const auto breakNoticed = [](const auto& in) {
            return Contains(in, {255, 250, 44, 106, 0x70, 255, 240}) ||
                   Contains(in, {255, 250, 44, 106, 0x71, 255, 240});
        };
        EXPECT_TRUE(breakNoticed(client.Receive(breakNoticed))) << server.Err();
        peer.WriteAll("xyz", 5s);
        quelta::Device port = Attach("Serial0");
        EXPECT_TRUE(Eventually([&] { return port.GetRxCount() == 4; })) << "break and xyz kept";
        client.Send({255, 250, 44, 12, 1, 255, 240, 255, 250, 44, 9, 255, 240});
        const std::vector<std::uint8_t> purged = {255, 250, 44, 112, 1, 255, 240};
        client.Receive([&](const auto& in) { return Contains(in, purged); });
        EXPECT_EQ(port.GetRxCount(), 0u);
        peer.WriteAll("d", 5s);
        const auto after = client.Receive([](const auto& in) { return in.back() == 'd'; });
        EXPECT_TRUE(Contains(after, purged) && after.back() == 'd' && !Contains(after, {'x'}));
    }
    RawClient truncated(tcpPort);
    ASSERT_TRUE(truncated.Connected());
    std::vector<std::uint8_t> endless = {255, 250, 44, 1};
    endless.resize(200, 7);
    truncated.Send(endless);
    truncated.Receive([](const auto&) { return false; });
    EXPECT_TRUE(truncated.Closed()) << "a subnegotiation past any the server knows";
    RawClient next(tcpPort);
    EXPECT_FALSE(next.Receive([](const auto& in) { return in.size() >= 3; }).empty())
        << "the next client is greeted";
    kill(server.Pid(), SIGINT);
    EXPECT_EQ(server.Wait(), 130);
}

std::size_t ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    std::size_t kib = 0;
    while (status >> word && word != "VmRSS:") {}
    status >> kib;
    return kib;
}

// What a client sent before its end of stream reaches the line whole: pyserial's write then
// close, and a raw client's half-close. A client that asks and never reads is held back by TCP
// instead of growing the server.
TEST(Bridge, Rfc2217DeliversWhatItTookAndBoundsWhatItKeeps) {
    RunningDriver driver(DefaultBoard);
    quelta::Device peer = RunningDriver::Open("Serial1");
    peer.Configure({.baudRate = 921600, .flowControl = FlowControl::RtsCts});
    const int tcpPort = 20000 + (getpid() + 11) % 20000;
    ChildProcess server(QUELTA_TOOL_PATH, {"serve", "Serial0", "--port", std::to_string(tcpPort)},
                        {{"RTSS_NAMESPACE", driver.Namespace()}});
    ASSERT_TRUE(server.WaitForOutput("RFC 2217")) << server.Err();
    ChildProcess program = Python(
        "import serial, sys\n"
        "s = serial.serial_for_url('rfc2217://127.0.0.1:' + sys.argv[1], baudrate=921600,\n"
        "                          rtscts=True)\n"
        "s.write(bytes(range(256)) * 400); s.close()\n",
        {std::to_string(tcpPort)});
    std::vector<std::uint8_t> written(102400);
    for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> got(written.size());
    const auto receive = [&] {
        EXPECT_NO_THROW(peer.ReadExact(got, 60s))
            << "ring overruns: " << peer.GetErrorCounts().ringOverruns;
    };
    receive();
    EXPECT_TRUE(got == written) << "pyserial's write, then close";
    EXPECT_EQ(program.Wait(30s), 0) << program.Err();

    std::vector<std::uint8_t> data = Pattern(200000, 5);
    std::replace(data.begin(), data.end(), std::uint8_t{255}, std::uint8_t{254});  // no IAC
    RawClient halfClosing(tcpPort);
    ASSERT_TRUE(halfClosing.Connected());
    std::jthread sender([&] {
        halfClosing.Send(data);
        halfClosing.ShutdownWrite();
    });
    got.resize(data.size());
    receive();
    EXPECT_TRUE(got == data) << "a half-close";
    sender.join();
    EXPECT_TRUE(halfClosing.Receive([](const auto&) { return false; }).size() > 0 &&
                halfClosing.Closed());

    RawClient asker(tcpPort);
    ASSERT_TRUE(asker.Connected());
    std::vector<std::uint8_t> asks;
    for (int i = 0; i < 10000; ++i) asks.insert(asks.end(), {255, 253, 0, 255, 254, 0});
    std::size_t pushed = 0;
    auto lastTaken = std::chrono::steady_clock::now();
    while (pushed < (64u << 20) && std::chrono::steady_clock::now() - lastTaken < 1s) {
        const ssize_t sent =
            send(asker.Fd(), asks.data(), asks.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            pushed += static_cast<std::size_t>(sent);
            lastTaken = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(1ms);
        }
    }
    EXPECT_LT(ResidentKiB(server.Pid()), 32u * 1024) << pushed << " bytes of DO and DONT taken";
}

// Over loopback the server lets in its own user and root only, as the kernel names the owner of
// the client's socket; and an idle client is closed when --idle-timeout asks for it.
TEST(Bridge, Rfc2217LetsInItsUserOnlyAndClosesIdleClients) {
    RunningDriver driver(DefaultBoard);
    RunningDriver::Open("Serial0");  // once the driver is up
    const int tcpPort = 20000 + (getpid() + 13) % 20000;
    ChildProcess server(
        QUELTA_TOOL_PATH,
        {"serve", "Serial0", "--port", std::to_string(tcpPort), "--idle-timeout", "1"},
        {{"RTSS_NAMESPACE", driver.Namespace()}});
    ASSERT_TRUE(server.WaitForOutput("RFC 2217")) << server.Err();
    const testsupport::Finished stranger = testsupport::Run(
        "/usr/bin/setpriv",
        {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3", "-c",
         "import socket, sys\n"
         "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
         "s.settimeout(10); print(len(s.recv(100)))\n",
         std::to_string(tcpPort)});
    EXPECT_EQ(stranger.out, "0\n") << "closed before a greeting: " << stranger.err;
    EXPECT_NE(server.Err().find("refused 127.0.0.1"), std::string::npos) << server.Err();
    RawClient own(tcpPort);
    EXPECT_FALSE(own.Receive([](const auto&) { return false; }).empty()) << "greeted";
    EXPECT_TRUE(own.Closed()) << "closed once idle";
}

// Bytes through each bridge both ways and into recv --follow while the driver is stopped again and
// again, for longer than their reply limit: a request the driver took before a stop is answered
// after it, and its bytes arrive once and in order (the late reply waited for, and said so on
// standard error, not the request made again). A driver that has ended ends recv --follow, while
// the bridges wait, attach to the next driver with the same names and put the settings back.
TEST(Bridge, BridgesOutliveAStalledAndARestartedDriver) {
    constexpr std::size_t Size = 60000;
    constexpr auto Limit = 20s;
    RunningDriver driver(DefaultBoard);
    const quelta::LineSettings line{.baudRate = 921600, .flowControl = FlowControl::RtsCts};
    for (int n = 0; n < 6; ++n) RunningDriver::Open("Serial" + std::to_string(n)).Configure(line);
    const std::map<std::string, std::string> space = {{"RTSS_NAMESPACE", driver.Namespace()}};
    const std::string link = "/tmp/quelta-bridge-" + testsupport::UniqueNamespace("stall");
    const int tcpPort = 20000 + (getpid() + 17) % 20000;
    const auto command = [](std::vector<std::string> words) {
        words.insert(words.end(), {"--reply-timeout", "20", "--shared"});
        return words;
    };
    ChildProcess pty(QUELTA_TOOL_PATH, command({"pty", "Serial0", link}), space);
    ChildProcess server(QUELTA_TOOL_PATH,
                        command({"serve", "Serial2", "--port", std::to_string(tcpPort)}), space);
    ChildProcess follower(QUELTA_TOOL_PATH, command({"recv", "Serial4", "--follow"}), space);
    ASSERT_TRUE(pty.WaitForOutput(" -> /dev/")) << pty.Err();
    ASSERT_TRUE(server.WaitForOutput("RFC 2217")) << server.Err();
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    RawClient client(tcpPort);
    ASSERT_TRUE(fd >= 0 && client.Connected());
    // No modem-state notices among the line data: the flow control moves CTS.
    client.Send({255, 250, 44, 11, 0, 255, 240});
    const std::vector<std::uint8_t> maskSet = {255, 250, 44, 111, 0, 255, 240};
    const std::size_t telnet =
        client.Receive([&](const auto& in) { return Contains(in, maskSet); }).size();
    // 0: into the pty, 1: into the server, 2: out of the pty, 3: out of the server, 4: followed.
    std::vector<std::vector<std::uint8_t>> data;
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        data.push_back(Pattern(Size, seed));
        std::replace(data.back().begin(), data.back().end(), std::uint8_t{255}, std::uint8_t{0});
    }
    std::vector<std::uint8_t> fromPty;
    std::vector<std::uint8_t> fromServer;
    std::vector<std::vector<std::uint8_t>> atPeer(2, std::vector<std::uint8_t>(Size));
    {
        // One long stop, then short ones.
        std::jthread stopper([&](const std::stop_token& stop) {
            for (auto pause = 1000ms; !stop.stop_requested(); pause = 40ms) {
                kill(driver.Process().Pid(), SIGSTOP);
                std::this_thread::sleep_for(pause);
                kill(driver.Process().Pid(), SIGCONT);
                std::this_thread::sleep_for(15ms);
            }
        });
        std::vector<std::jthread> movers;
        for (int peer = 0; peer < 2; ++peer) {
            movers.emplace_back([&, peer] {
                quelta::Device port = Attach(peer == 0 ? "Serial1" : "Serial3");
                std::jthread writer([&] { EXPECT_NO_THROW(port.WriteAll(data[2 + peer], Limit)); });
                EXPECT_NO_THROW(port.ReadExact(atPeer[peer], Limit)) << peer;
            });
        }
        movers.emplace_back([&] { EXPECT_NO_THROW(Attach("Serial5").WriteAll(data[4], Limit)); });
        movers.emplace_back([&] { client.Send(data[1]); });
        movers.emplace_back([&] { EXPECT_EQ(write(fd, data[0].data(), Size), ssize_t{Size}); });
        const std::string got = ReadFrom(fd, Size, Limit);
        fromPty.assign(got.begin(), got.end());
        const auto all =
            client.Receive([&](const auto& in) { return in.size() >= telnet + Size; }, Limit);
        fromServer.assign(all.begin() + static_cast<std::ptrdiff_t>(telnet), all.end());
    }
    EXPECT_EQ(Difference(fromPty, data[2]), "") << "out of the pty";
    EXPECT_EQ(Difference(atPeer[0], data[0]), "") << "through the pty";
    EXPECT_EQ(Difference(atPeer[1], data[1]), "") << "through the server";
    EXPECT_EQ(Difference(fromServer, data[3]), "") << "out of the server";
    EXPECT_TRUE(Eventually([&] { return follower.Out().size() >= Size; }));
    const std::string followed = follower.Out();
    EXPECT_EQ(Difference(std::vector<std::uint8_t>(followed.begin(), followed.end()), data[4]), "")
        << "followed";
    // Each stall said once, and its end.
    for (ChildProcess* waiter : {&pty, &server, &follower}) {
        const auto count = [&](const std::string& text) {
            const std::string err = waiter->Err();
            std::size_t found = 0;
            for (auto at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) {
                ++found;
            }
            return found;
        };
        EXPECT_TRUE(Eventually([&] {
            return count("does not answer") > 0 &&
                   count("does not answer") == count("answers again");
        })) << waiter->Err().substr(0, 400);
    }
    driver.Process().Terminate();
    EXPECT_EQ(follower.Wait(20s), 1) << follower.Err();
    const auto says = [](ChildProcess& child, const std::string& text) {
        return Eventually([&] { return child.Err().find(text) != std::string::npos; });
    };
    EXPECT_TRUE(says(pty, "has ended") && says(server, "has ended"));
    ChildProcess next(
        QUELTA_DRIVER_PATH, {"-Q", "5"},
        {{"RTSS_NAMESPACE", driver.Namespace()}, {"QUELTA_SIM", driver.MachinePath()}});
    EXPECT_TRUE(says(pty, "serves the device again") && says(server, "serves the device again"));
    // At 921,600 baud again, so the settings are back.
    for (const char* name : {"Serial1", "Serial3"}) RunningDriver::Open(name).Configure(line);
    quelta::Device ptyPeer = Attach("Serial1");
    ptyPeer.WriteAll("c", 5s);
    EXPECT_EQ(ReadFrom(fd, 1), "c");
    client.Send({'d'});
    std::vector<std::uint8_t> one(1);
    Attach("Serial3").ReadExact(one, 10s);
    EXPECT_EQ(one[0], 'd');
    close(fd);
    for (ChildProcess* bridge : {&pty, &server}) {
        kill(bridge->Pid(), SIGINT);
        EXPECT_EQ(bridge->Wait(), 130);
    }
}

// The default link lives in a directory only its user may enter; a link that someone else
// planted, at a named path or where that directory goes, is neither followed nor replaced.
TEST(Bridge, PtyLinksAreNeverATrap) {
    RunningDriver driver(DefaultBoard);
    RunningDriver::Open("Serial0");  // once the driver is up
    const std::string base = ::testing::TempDir() + testsupport::UniqueNamespace("xdg");
    const std::string elsewhere = base + "/elsewhere";
    ASSERT_EQ(mkdir(base.c_str(), 0700) | mkdir(elsewhere.c_str(), 0700), 0);
    const auto environment = [&](const std::string& runtime) {
        return std::map<std::string, std::string>{{"RTSS_NAMESPACE", driver.Namespace()},
                                                  {"XDG_RUNTIME_DIR", runtime}};
    };
    {
        ChildProcess bridge(QUELTA_TOOL_PATH, {"pty", "Serial0"}, environment(base));
        ASSERT_TRUE(bridge.WaitForOutput("Serial0: " + base + "/quelta/Serial0 -> /dev/pts/"))
            << bridge.Out() << bridge.Err();
        struct stat directory {};
        ASSERT_EQ(lstat((base + "/quelta").c_str(), &directory), 0);
        EXPECT_TRUE(S_ISDIR(directory.st_mode) && directory.st_uid == geteuid());
        EXPECT_EQ(directory.st_mode & 0777, 0700u);
    }
    const std::string victim = base + "/victim";
    std::ofstream(victim) << "keep";
    const std::string planted = "/tmp/quelta-planted-" + testsupport::UniqueNamespace("link");
    for (const auto& [target, path] : {std::pair{victim, planted}, {base, elsewhere + "/quelta"}}) {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);  // nobody's
    }
    for (const auto& [words, runtime] :
         {std::pair{std::vector<std::string>{"pty", "Serial2", planted}, base},
          {std::vector<std::string>{"pty", "Serial2"}, elsewhere}}) {
        const testsupport::Finished run =
            testsupport::Run(QUELTA_TOOL_PATH, words, "", environment(runtime));
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    }
    EXPECT_EQ(std::filesystem::read_symlink(planted), victim);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(base + "/Serial2")));
    std::string kept;
    std::ifstream(victim) >> kept;
    EXPECT_EQ(kept, "keep");
    std::filesystem::remove(planted);
    std::filesystem::remove_all(base);
}

}  // namespace
