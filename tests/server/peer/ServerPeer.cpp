// The other process of the cross-process server tests. It runs in the namespace the test gave it
// (RTSS_NAMESPACE is inherited) and reports on standard output, one line per event.
//
//   create NAME...            creates the device channels (echo handler), prints "ready", parks
//   create-exit NAME          creates, prints "ready", returns from main on SIGUSR1
//   create-exitprocess NAME   creates, prints "ready", ends through ExitProcess on SIGUSR1
//   client NAME COUNT         COUNT requests under the device mutex, each reply checked; "ok"
//   hold NAME                 takes the device mutex, prints "locked", parks
//   requests NAME CODE...     each request in turn, without data; one line per reply:
//                             "status resultCount portIndex data0 data1 data2 data3"
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "server/DeviceChannel.h"
#include "tests/server/support/EchoHandler.h"
#include "tests/server/support/RawClient.h"

namespace {

constexpr std::uint32_t PatternLength = 64;

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// Blocked before any thread exists, so that sigwait alone takes it.
void BlockGoAhead() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void AwaitGoAhead() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    int signal = 0;
    sigwait(&signals, &signal);
}

[[noreturn]] void Park() {
    for (;;) {
        pause();
    }
}

bool CreateChannels(int count, char** names) {
    for (int i = 0; i < count; ++i) {
        if (CreateDeviceChannel(names[i], servertest::EchoHandler, 0, 121, DefaultDataAreaSize) ==
            nullptr) {
            std::printf("error %u\n", GetLastError());
            std::fflush(stdout);
            return false;
        }
    }
    Say("ready");
    return true;
}

std::uint8_t PatternByte(std::uint32_t request, std::uint32_t i) {
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(getpid()) * 31 + request * 7 + i);
}

// Each request carries a pattern of its own; a reply that is not exactly its inversion means
// another client's request got into the block.
int RunClient(const char* name, std::uint32_t count) {
    servertest::RawClient client(name);
    for (std::uint32_t n = 0; n < count; ++n) {
        client.Lock();
        for (std::uint32_t i = 0; i < PatternLength; ++i) {
            client.Data()[i] = PatternByte(n, i);
        }
        client.Request().dataLength = PatternLength;
        const std::uint32_t code = 1 + n % 17;
        const bool answered = client.Call(code);
        bool intact = answered && client.Request().status == servertest::EchoStatusBase + code &&
                      client.Request().resultCount == PatternLength;
        for (std::uint32_t i = 0; intact && i < PatternLength; ++i) {
            intact = client.Data()[i] == static_cast<std::uint8_t>(~PatternByte(n, i));
        }
        client.Unlock();
        if (!intact) {
            std::printf("mismatch at %u\n", n);
            return 1;
        }
    }
    Say("ok");
    return 0;
}

int RunRequests(const char* name, int count, char** codes) {
    servertest::RawClient client(name);
    for (int i = 0; i < count; ++i) {
        client.Lock();
        client.Request().dataLength = 0;
        const bool answered =
            client.Call(static_cast<std::uint32_t>(std::strtoul(codes[i], nullptr, 0)));
        const RequestPart& reply = client.Request();
        const std::uint8_t* data = client.Data();
        if (answered) {
            std::printf("%u %u %u %u %u %u %u\n", reply.status, reply.resultCount, reply.portIndex,
                        data[0], data[1], data[2], data[3]);
        } else {
            std::printf("no reply\n");
        }
        std::fflush(stdout);
        client.Unlock();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        Say("usage: server_peer MODE NAME...");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "create") {
        host::StartProcess();
        if (!CreateChannels(argc - 2, argv + 2)) {
            return 1;
        }
        Park();
    }
    if (mode == "create-exit" || mode == "create-exitprocess") {
        BlockGoAhead();
        const bool created = CreateChannels(1, argv + 2);
        AwaitGoAhead();
        if (mode == "create-exitprocess") {
            ExitProcess(created ? 0 : 1);
        }
        return created ? 0 : 1;
    }
    if (mode == "client" && argc == 4) {
        return RunClient(argv[2], static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    }
    if (mode == "requests") {
        return RunRequests(argv[2], argc - 3, argv + 3);
    }
    if (mode == "hold") {
        servertest::RawClient client(argv[2]);
        client.Lock();
        Say("locked");
        Park();
    }
    Say("unknown mode");
    return 2;
}
