// The request path against what this machine can do, measured alternately in one run:
//   (a)  a cheap request (SerialGetLineErrors) from this process through the client library to a
//        device channel's service thread in a driver process and back; (a') the same from a
//        client that sleeps 1 ms between requests, so that each request finds the driver asleep;
//   (b)  the sleeping floor: a bare ping-pong of two POSIX semaphores between two processes over
//        a shared memory object of the request block's size;
//   (c)  the spinning floor: the same ping-pong with both sides polling up to 50 us first.
// Then bulk: 8192-byte SerialWrite and SerialRead requests per second. The driver process runs
// the driver's own DeviceChannel and DispatchRequest over a port of a register-latch board; for
// the bulk part its transmitter empties the transmit ring on each kick and the receive ring is
// full again before each read, so that every request moves a full data area.
//
// Usage: bench_request_roundtrip [rounds] (default 3; well under a second each on an idle machine).
#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "client/Device.h"
#include "hw/BoardClock.h"
#include "hw/Registers.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/PosixNames.h"
#include "platform/host/RegisterDevice.h"
#include "port/PortRecord.h"
#include "server/DeviceChannel.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int LatencySamples = 1000;  // per round for (a), (b), (c)
constexpr int SleepingSamples = 100;  // per round for (a')
constexpr auto BulkTime = 300ms;
constexpr std::uint32_t PollMicroseconds = 50;
constexpr std::size_t BlockBytes = DefaultDataAreaSize + RequestBlockOverhead;

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// A board whose registers keep what was last written: enough for the request path. With a port
// to drain, its transmitter sends the whole transmit ring at once on the transmit kick (the IER
// write that SerialWrite makes while the interrupt side is idle), as the interrupt service would
// soon after, so that every write finds the ring empty.
class LatchBoard final : public sim::RegisterDevice {
public:
    PortRecord* drainOnKick = nullptr;

    std::uint8_t Load(std::uint32_t offset) override { return bytes_[offset]; }
    void Store(std::uint32_t offset, std::uint8_t value) override {
        bytes_[offset] = value;
        if (drainOnKick != nullptr && offset == IER) {
            // The kick may come inside the writer's own interrupts-disabled section.
            const bool locked = host::InterruptsDisabledOnThisThread();
            if (!locked) host::EnterInterruptContext();
            drainOnKick->txTail = drainOnKick->txHead;
            drainOnKick->txCount = 0;
            if (!locked) host::LeaveInterruptContext();
        }
    }

private:
    std::uint8_t bytes_[MaxPorts * ChannelWindowSize] = {};
};

// The port record lives in memory shared with this process, so that between two bulk reads the
// measuring side can put a full receive ring back, as the receive service would have by then. The
// service thread is idle between requests, and the request semaphores order the two sides.
PortRecord* SharedPortRecord() {
    void* memory = mmap(nullptr, sizeof(PortRecord), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) std::exit(1);
    return new (memory) PortRecord{};
}

void FillReceiveRing(PortRecord& port) {
    port.rxHead = port.rxTail;
    port.rxCount = RingSize;
}

// A driver process serving one device channel on port 0, whose record is given. With
// drainOnKick (bulk only) its transmitter empties the transmit ring at once. Reports readiness on
// the pipe, then serves until SIGTERM.
[[noreturn]] void RunDriver(const char* name, PortRecord* record, bool drainOnKick, int readyPipe) {
    host::StartProcess();
    static LatchBoard board;
    auto* window = static_cast<std::uint8_t*>(host::MapRegisterDevice(&board, sizeof(LatchBoard)));
    boardClockHz = 14'745'600;
    record->regs = reinterpret_cast<ChannelRegs*>(window);
    PortTable[0] = record;
    std::snprintf(DeviceNameTable[0].deviceName, DeviceNameSize, "%s", name);
    if (CreateDeviceChannel(name, DispatchRequest, 0, 121, DefaultDataAreaSize) == nullptr) {
        std::fprintf(stderr, "driver: cannot create %s (error %u)\n", name, GetLastError());
        _exit(1);
    }
    if (drainOnKick) board.drainOnKick = record;
    const char ready = 'r';
    if (write(readyPipe, &ready, 1) != 1) _exit(1);
    while (true) pause();
}

// The ping-pong partner of (b) and (c): answers each request in the same kind of shared block.
struct PingPong {
    sem_t* request;
    sem_t* reply;
    RequestBlock* block;
};

void TakeSemaphore(sem_t* semaphore, std::uint32_t pollMicroseconds) {
    if (pollMicroseconds != 0) {
        const auto end = Clock::now() + std::chrono::microseconds(pollMicroseconds);
        do {
            if (sem_trywait(semaphore) == 0) return;
            for (int i = 0; i < 16; ++i) CpuRelax();
        } while (Clock::now() < end);
    }
    while (sem_wait(semaphore) != 0) {}
}

// The partner reads how to wait from the block's status word, written by the measuring side.
[[noreturn]] void RunPingPongPartner(PingPong pingPong) {
    while (true) {
        TakeSemaphore(pingPong.request, pingPong.block->request.resultCount);
        if (pingPong.block->request.requestCode == ChannelStop) _exit(0);
        pingPong.block->request.status = 0;
        sem_post(pingPong.reply);
    }
}

struct Figures {
    std::vector<double> microseconds;
    void Add(Clock::duration duration) {
        microseconds.push_back(std::chrono::duration<double, std::micro>(duration).count());
    }
    double At(double fraction) {
        std::sort(microseconds.begin(), microseconds.end());
        const auto index =
            static_cast<std::size_t>(fraction * static_cast<double>(microseconds.size()));
        return microseconds[std::min(index, microseconds.size() - 1)];
    }
};

void MeasurePingPong(PingPong& pingPong, std::uint32_t pollMicroseconds, int samples,
                     Figures& figures) {
    pingPong.block->request.resultCount = pollMicroseconds;
    for (int i = 0; i < samples + 10; ++i) {
        const auto start = Clock::now();
        pingPong.block->request.requestCode = SerialGetLineErrors;
        sem_post(pingPong.request);
        TakeSemaphore(pingPong.reply, pollMicroseconds);
        if (i >= 10) figures.Add(Clock::now() - start);  // the first ones settle the partner's mode
    }
}

void MeasureLibrary(quelta::Device& port, int samples, Clock::duration pause, Figures& figures) {
    for (int i = 0; i < samples; ++i) {
        if (pause > Clock::duration::zero()) std::this_thread::sleep_for(pause);
        const auto start = Clock::now();
        port.GetLineErrors();
        figures.Add(Clock::now() - start);
    }
}

void MeasureBulk(quelta::Device& port, PortRecord& record, bool write) {
    std::vector<std::uint8_t> buffer(port.DataAreaSize(), 0x5A);
    std::size_t requests = 0;
    std::size_t bytes = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < BulkTime) {
        if (!write) FillReceiveRing(record);
        bytes += write ? port.Write(buffer) : port.Read(buffer);
        ++requests;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "  %-10s %zu-byte requests: %9.0f requests/s, %8.1f MB/s (%.0f%% of requests full)\n",
        write ? "SerialWrite" : "SerialRead", buffer.size(),
        static_cast<double>(requests) / seconds, static_cast<double>(bytes) / seconds / 1e6,
        100.0 * static_cast<double>(bytes) / static_cast<double>(requests * buffer.size()));
}

template <typename Setup>
pid_t StartChild(Setup setup) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) setup();
    return child;
}

// A driver process for the length of a scope; SIGTERM ends it in order, removing its names.
class DriverProcess {
public:
    DriverProcess(const char* name, PortRecord* record, bool drainOnKick) {
        int ready[2];
        if (pipe(ready) != 0) std::exit(1);
        pid_ = StartChild([&] { RunDriver(name, record, drainOnKick, ready[1]); });
        char signal = 0;
        if (read(ready[0], &signal, 1) != 1) {
            std::fprintf(stderr, "the driver process did not start\n");
            std::exit(1);
        }
        close(ready[0]);
        close(ready[1]);
    }
    ~DriverProcess() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

private:
    pid_t pid_;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string space = "qbench" + std::to_string(getpid());
    setenv("RTSS_NAMESPACE", space.c_str(), 1);

    // The ping-pong objects: made here, shared with the partner by fork.
    const std::string base = "/" + space + ".pingpong";
    shm_unlink((base + ".sm").c_str());
    const int descriptor = shm_open((base + ".sm").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (descriptor < 0 || ftruncate(descriptor, BlockBytes) != 0) return 1;
    PingPong pingPong{};
    pingPong.block = static_cast<RequestBlock*>(
        mmap(nullptr, BlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0));
    close(descriptor);
    pingPong.request = sem_open((base + ".s1").c_str(), O_CREAT | O_EXCL, 0600, 0);
    pingPong.reply = sem_open((base + ".s2").c_str(), O_CREAT | O_EXCL, 0600, 0);
    shm_unlink((base + ".sm").c_str());
    sem_unlink((base + ".s1").c_str());
    sem_unlink((base + ".s2").c_str());
    if (pingPong.block == MAP_FAILED || pingPong.request == SEM_FAILED ||
        pingPong.reply == SEM_FAILED) {
        std::fprintf(stderr, "cannot make the ping-pong objects\n");
        return 1;
    }
    const pid_t partner = StartChild([&] { RunPingPongPartner(pingPong); });

    {
        DriverProcess driver("\\RtDevice\\Quelta\\Serial0", SharedPortRecord(), false);
        quelta::Device quiet("Serial0");
        quelta::Device neverPolls("Serial0", {.mode = quelta::OpenMode::Attach, .replyPoll = {}});
        Figures library, sleepingLibrary, sleepingNoPoll, sleeping, spinning;
        for (int round = 0; round < rounds; ++round) {
            MeasureLibrary(quiet, LatencySamples, Clock::duration::zero(), library);
            MeasurePingPong(pingPong, 0, LatencySamples, sleeping);
            MeasurePingPong(pingPong, PollMicroseconds, LatencySamples, spinning);
            MeasureLibrary(quiet, SleepingSamples, 1ms, sleepingLibrary);
            MeasureLibrary(neverPolls, SleepingSamples, 1ms, sleepingNoPoll);
        }
        std::printf("request round trip in microseconds, %d alternating rounds (median / p99):\n",
                    rounds);
        std::printf("  (a)  library SerialGetLineErrors            %8.2f / %8.2f\n",
                    library.At(0.5), library.At(0.99));
        std::printf("  (a') the same, client sleeps 1 ms between   %8.2f / %8.2f\n",
                    sleepingLibrary.At(0.5), sleepingLibrary.At(0.99));
        std::printf("  (a'') the same, client does not poll        %8.2f / %8.2f\n",
                    sleepingNoPoll.At(0.5), sleepingNoPoll.At(0.99));
        std::printf("  (b)  semaphore ping-pong, sleeping          %8.2f / %8.2f\n",
                    sleeping.At(0.5), sleeping.At(0.99));
        std::printf("  (c)  semaphore ping-pong, polling 50 us     %8.2f / %8.2f\n",
                    spinning.At(0.5), spinning.At(0.99));
        std::printf("ratios: (a)/(c) median %.2f (goal <= 3), (a')/(b) median %.2f (goal <= 1.2)\n",
                    library.At(0.5) / spinning.At(0.5), sleepingLibrary.At(0.5) / sleeping.At(0.5));
    }
    {
        PortRecord* record = SharedPortRecord();
        DriverProcess driver("\\RtDevice\\Quelta\\Serial1", record, true);
        quelta::Device bulk("Serial1");
        std::printf("bulk, the rings emptied and refilled between requests:\n");
        MeasureBulk(bulk, *record, true);
        MeasureBulk(bulk, *record, false);
    }

    int status = 0;
    pingPong.block->request.requestCode = ChannelStop;
    sem_post(pingPong.request);
    waitpid(partner, &status, 0);
    return 0;
}
