// The bridges that let any serial program use a driver port, each against a running driver on
// the default machine (Serial0 and Serial1 are a null-modem pair): stty and shell programs on the
// pty of `quelta pty`, pyserial's own RFC 2217 client on `quelta serve`, and the server's answers
// to raw Telnet input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
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

// stty sets the line on the pty, and shell programs exchange bytes with a client of the peer;
// the size and parity it cannot set through a pty stay as configured.
TEST(Bridge, PtyCarriesBytesAndTermiosSettings) {
    RunningDriver driver(DefaultBoard);
    quelta::Device peer = RunningDriver::Open("Serial1");
    RunningDriver::Open("Serial0").Configure({.dataBits = 7, .parity = Parity::Even});
    const std::string link = "/tmp/quelta-bridge-" + testsupport::UniqueNamespace("pty");
    // Shared, so that the test can look at the port meanwhile.
    ChildProcess bridge(QUELTA_TOOL_PATH, {"pty", "Serial0", link, "--shared"},
                        {{"RTSS_NAMESPACE", driver.Namespace()}});
    ASSERT_TRUE(bridge.WaitForOutput(" -> /dev/")) << bridge.Err();
    // stty sets the line; head reads what the peer sends, printf writes to it.
    ChildProcess program("/bin/sh",
                         {"-c",
                          "stty -F \"$0\" 57600 cstopb crtscts raw -echo && head -c 1 \"$0\" "
                          ">/dev/null && printf hello > \"$0\" && head -c 5 \"$0\"",
                          link});
    quelta::Device port = Attach("Serial0");
    const quelta::LineSettings asked{.baudRate = 57600,
                                     .dataBits = 7,
                                     .parity = Parity::Even,
                                     .stopBits = StopBits::Two,
                                     .flowControl = FlowControl::RtsCts};
    EXPECT_TRUE(Eventually([&] { return port.GetSettings().settings == asked; }));
    peer.Configure(asked);
    peer.WriteAll("!", 5s);  // the program writes once both ends have the new settings
    std::vector<std::uint8_t> got(5);
    peer.ReadExact(got, 10s);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
    peer.WriteAll("world", 5s);
    EXPECT_EQ(program.Wait(20s), 0) << program.Err();
    EXPECT_EQ(program.Out(), "world");
    kill(bridge.Pid(), SIGINT);
    EXPECT_EQ(bridge.Wait(), 130);
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
    EXPECT_EQ(shell.Wait(60s), 0) << shell.Out() << shell.Err();
    std::remove(data.c_str());
    std::remove((data + ".out").c_str());
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
    // Everything that arrives until `ends` says it is enough, the server closes, or 5 s pass.
    std::vector<std::uint8_t> Receive(
        const std::function<bool(const std::vector<std::uint8_t>&)>& ends) {
        const auto giveUp = std::chrono::steady_clock::now() + 5s;
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
        // WILL 99 and DO 99 are refused; a baud rate of 57600 is set and answered with its value.
        client.Send({255, 251, 99, 255, 253, 99, 255, 250, 44, 1, 0, 0, 0xE1, 0, 255, 240});
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
        const std::vector<std::uint8_t> breakState = {255, 250, 44, 106, 0x70, 255, 240};
        EXPECT_TRUE(Contains(
            client.Receive([&](const auto& in) { return Contains(in, breakState); }), breakState));
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

}  // namespace
