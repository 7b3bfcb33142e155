// How busy each bridge keeps a line, against the client library used directly: a driver on the
// default machine (real-time pace), Serial0 and Serial1 a null-modem pair at 921,600 baud 8N1 with
// RTS/CTS, and a block of bytes sent into Serial0 through
//   (a) the client library, from this process;
//   (b) `quelta pty`: written to the bridge's pty with plain write();
//   (c) `quelta serve`: written to the RFC 2217 server over TCP (0xFF doubled);
//   (d) the pyserial URL handler: a /usr/bin/python3 program writing to quelta://Serial0;
// while this process reads Serial1 through the client library. The bridges share Serial0 with
// this process's own client of it (--shared), which holds it from the direct measurement on. The
// figure is bytes a second from the first byte received to the last, and the share of the line's
// 92,160 bytes a second.
//
// Usage: bench_bridge_throughput [bytes] (default 500000; about 5.5 s of line time per run).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchDriver.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::int32_t Baud = 921600;
constexpr double LineBytesPerSecond = Baud / 10.0;  // 8N1: ten bits a byte

// Reads `size` bytes on the receiving port while `send` puts them into the other one; bytes a
// second between the first byte and the last, or 0 when they did not all come.
double Measure(quelta::Device& receiver, std::size_t size, const std::function<void()>& send) {
    std::thread sender(send);
    std::vector<std::uint8_t> buffer(size);
    std::size_t got = 0;
    Clock::time_point first{};
    const auto giveUp = Clock::now() + 120s;
    while (got < size && Clock::now() < giveUp) {
        const std::size_t count =
            receiver.ReadSome(std::span(buffer).subspan(got), std::chrono::milliseconds(100));
        if (count > 0 && got == 0) first = Clock::now();
        got += count;
    }
    const auto last = Clock::now();
    sender.join();
    if (got < size) return 0;
    return static_cast<double>(size - 1) / std::chrono::duration<double>(last - first).count();
}

void Report(const char* what, double rate, double direct) {
    std::printf("  %-28s %8.0f bytes/s  %5.1f %% of the line", what, rate,
                100.0 * rate / LineBytesPerSecond);
    if (direct > 0) std::printf("  %5.1f %% of direct", 100.0 * rate / direct);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 500000;
    benchdriver::Driver driver("bridge");
    const std::string& space = driver.Namespace();
    const std::map<std::string, std::string>& env = driver.Environment();
    const quelta::LineSettings line{.baudRate = Baud, .flowControl = FlowControl::RtsCts};
    quelta::Device sender = benchdriver::OpenWhenReady("Serial0");
    quelta::Device receiver = benchdriver::OpenWhenReady("Serial1");
    sender.Configure(line);
    receiver.Configure(line);
    const std::vector<std::uint8_t> data(size, 0x55);
    std::printf("%zu bytes at %d baud 8N1, RTS/CTS, Serial0 -> Serial1:\n", size, Baud);

    const double direct = Measure(receiver, size, [&] { sender.WriteAll(data, 30s); });
    Report("client library (direct)", direct, 0);

    {
        const std::string link = "/tmp/quelta-bench-" + space;
        testsupport::ChildProcess bridge(QUELTA_TOOL_PATH, {"pty", "Serial0", link, "--shared"},
                                         env);
        bridge.WaitForOutput(" -> /dev/");
        const int pty = open(link.c_str(), O_RDWR | O_NOCTTY);
        const double rate = Measure(receiver, size, [&] {
            for (std::size_t done = 0; done < size;) {
                const ssize_t written = write(pty, data.data() + done, size - done);
                if (written <= 0) break;
                done += static_cast<std::size_t>(written);
            }
        });
        close(pty);
        Report("quelta pty", rate, direct);
        bridge.Terminate();
    }
    {
        const int tcpPort = 30000 + getpid() % 20000;
        testsupport::ChildProcess server(
            QUELTA_TOOL_PATH, {"serve", "Serial0", "--port", std::to_string(tcpPort), "--shared"},
            env);
        server.WaitForOutput("RFC 2217");
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(tcpPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const double rate = Measure(receiver, size, [&] {
            // 0x55 needs no doubling; the server's greeting is left unread.
            for (std::size_t done = 0; done < size;) {
                const ssize_t sent = send(fd, data.data() + done, size - done, MSG_NOSIGNAL);
                if (sent <= 0) break;
                done += static_cast<std::size_t>(sent);
            }
        });
        close(fd);
        Report("quelta serve (RFC 2217)", rate, direct);
        server.Terminate();
    }
    {
        const std::string script =
            "import serial, sys\n"
            "serial.protocol_handler_packages.append('quelta_serial')\n"
            "s = serial.serial_for_url('quelta://Serial0?baudrate=921600&rtscts=1')\n"
            "s.write(b'\\x55' * int(sys.argv[1])); s.close()\n";
        const double rate = Measure(receiver, size, [&] {
            testsupport::ChildProcess python("/usr/bin/python3",
                                             {"-c", script, std::to_string(size)},
                                             {{"RTSS_NAMESPACE", space},
                                              {"PYTHONPATH", QUELTA_PYTHON_DIR},
                                              {"QUELTA_CLIENT_LIBRARY", QUELTA_CLIENT_SHARED}});
            python.Wait(120s);
        });
        Report("pyserial quelta:// handler", rate, direct);
    }
    return 0;
}
