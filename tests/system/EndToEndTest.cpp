// The running driver through client processes: every request, data both ways across the
// simulated null-modem pair, a pty far end driven by pyserial, and what the board sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "client/Device.h"
#include "platform/host/PosixNames.h"
#include "server/RequestBlock.h"
#include "tests/system/RunningDriver.h"

namespace {

using namespace systemtest;

template <typename Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 300; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

TEST(EndToEnd, EveryRequestOnARunningDriver) {
    RunningDriver driver(DefaultBoard);
    quelta::Device a = RunningDriver::Open("Serial0");
    quelta::Device b = RunningDriver::Open("\\RtDevice\\Quelta\\Serial1");
    EXPECT_EQ(a.PortIndex(), 0);
    EXPECT_EQ(b.PortIndex(), 1);
    a.Configure({.baudRate = 115200});
    b.Configure({.baudRate = 115200});

    // DTR reaches the peer's DSR and DCD, RTS its CTS.
    a.SetDtr(true);
    a.SetRts(true);
    EXPECT_TRUE(a.GetModemControl().dtr && a.GetModemControl().rts);
    quelta::ModemStatus peer = b.GetModemStatus();
    EXPECT_TRUE(peer.dsr && peer.dcd && peer.cts) << int(peer.raw);
    a.SetRts(false);
    a.SetDtr(false);
    EXPECT_EQ(a.GetModemControl().raw, 0);
    peer = b.GetModemStatus();
    EXPECT_FALSE(peer.dsr || peer.dcd || peer.cts) << int(peer.raw);

    // Bytes waiting, then read.
    a.WriteAll("0123456789", 2s);
    EXPECT_TRUE(Eventually([&] { return b.GetRxCount() == 10; }));
    std::vector<std::uint8_t> in(10);
    b.ReadExact(in, 2s);
    EXPECT_EQ(std::string(in.begin(), in.end()), "0123456789");
    EXPECT_EQ(b.GetRxCount(), 0u);
    EXPECT_TRUE(Eventually([&] { return a.GetLineStatus().transmitterEmpty; }));

    // A break shows on the other side as a line error, and stays there.
    a.SetBreak(true);
    std::this_thread::sleep_for(20ms);
    a.SetBreak(false);
    EXPECT_TRUE(Eventually([&] { return b.GetLineErrors().breakReceived; }));
    EXPECT_TRUE(b.GetLineErrors().breakReceived) << "reading the errors does not clear them";
    b.ReadSome(in, 2s);  // the break's 0 byte

    // Close drops the outputs; the port works again after a new configuration.
    a.SetDtr(true);
    a.ClosePort();
    EXPECT_EQ(a.GetModemControl().raw, 0);
    a.Configure({.baudRate = 115200});
    a.WriteAll("again", 2s);
    std::vector<std::uint8_t> again(5);
    b.ReadExact(again, 2s);
    EXPECT_EQ(std::string(again.begin(), again.end()), "again");
}

// A stop signal takes effect on each thread of the process in its own time.
bool AllThreadsStopped(pid_t pid) {
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream stat(task.path() / "stat");
        const std::string line((std::istreambuf_iterator<char>(stat)), {});
        const std::size_t state = line.rfind(") ");
        if (state == std::string::npos || (line[state + 2] != 't' && line[state + 2] != 'T')) {
            return false;
        }
    }
    return true;
}

// A client of another process that releases the request semaphore twice for one request (the
// platform would refuse the second release; POSIX lets it through): the request is served once,
// and no second reply is left for the client's next request to take.
TEST(EndToEnd, ARequestReleasedTwiceIsServedOnce) {
    RunningDriver driver(DefaultBoard);
    quelta::Device a = RunningDriver::Open("Serial0");
    quelta::Device b = RunningDriver::Open("Serial1");
    a.Configure({.baudRate = 115200});
    b.Configure({.baudRate = 115200});

    const std::string name = "\\RtDevice\\Quelta\\Serial0";
    const int fd = shm_open(posix_names::ObjectName(name + SharedMemorySuffix).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    const std::size_t size = DefaultDataAreaSize + RequestBlockOverhead;
    auto* block =
        static_cast<RequestBlock*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    sem_t* request = sem_open(posix_names::ObjectName(name + RequestSemaphoreSuffix).c_str(), 0);
    sem_t* reply = sem_open(posix_names::ObjectName(name + ReplySemaphoreSuffix).c_str(), 0);
    ASSERT_TRUE(block != MAP_FAILED && request != SEM_FAILED && reply != SEM_FAILED);

    block->request.requestCode = SerialWrite;
    block->request.dataLength = 1;
    DataArea(block)[0] = 'X';
    kill(driver.Process().Pid(), SIGSTOP);  // both releases stand before the driver looks
    ASSERT_TRUE(Eventually([&] { return AllThreadsStopped(driver.Process().Pid()); }));
    sem_post(request);
    sem_post(request);
    kill(driver.Process().Pid(), SIGCONT);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    ASSERT_EQ(sem_timedwait(reply, &deadline), 0);
    EXPECT_EQ(block->request.resultCount, 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_NE(sem_trywait(reply), 0) << "a second reply was left pending";
    std::vector<std::uint8_t> byte(1);
    b.ReadExact(byte, 2s);
    EXPECT_EQ(byte[0], 'X');
    EXPECT_EQ(b.GetRxCount(), 0u) << "the byte went out twice";
    sem_close(request);
    sem_close(reply);
    munmap(block, size);
}

// A pyserial program on the pty end of channel 0 and a client of the driver, both ways.
TEST(EndToEnd, PtyFarEndExchangesWithPyserial) {
    const std::string link = "/tmp/quelta-pty-" + testsupport::UniqueNamespace("pty");
    RunningDriver driver(Board("bus=0 device=3 function=0",
                               "device-id=0x0154 subsystem=0x311 irq=5",
                               "channel 0 pty " + link + "\n"));
    quelta::Device port = RunningDriver::Open("Serial0");
    port.Configure({.baudRate = 57600});

    const std::string script =
        "import serial, sys\n"
        "s = serial.Serial(sys.argv[1], 57600, timeout=5)\n"
        "s.write(b'from pyserial\\n'); s.flush()\n"
        "line = s.readline()\n"
        "sys.stdout.write(line.decode()); s.close()\n";
    const std::string scriptPath = link + ".py";
    std::ofstream(scriptPath) << script;
    FILE* python = popen(("/usr/bin/python3 " + scriptPath + " " + link).c_str(), "r");
    ASSERT_NE(python, nullptr);

    std::vector<std::uint8_t> got(14);
    port.ReadExact(got, 10s);
    EXPECT_EQ(std::string(got.begin(), got.end()), "from pyserial\n");
    port.WriteAll("from the driver\n", 5s);

    std::string answer;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, python) != nullptr) answer += buffer;
    EXPECT_EQ(pclose(python), 0);
    EXPECT_EQ(answer, "from the driver\n");
    std::remove(scriptPath.c_str());
}

// The trace lines of the board's register writes through a channel's window at an offset.
std::vector<std::string> TracedWrites(const std::string& path, int channel, const char* offset) {
    std::ifstream trace(path);
    std::vector<std::string> values;
    std::string seq, where, kind, off, value;
    const std::string window = "0." + std::to_string(channel);
    while (trace >> seq >> where >> kind >> off >> value) {
        if (where == window && kind == "W" && off == offset) values.push_back(value);
    }
    return values;
}

// The trace reaches its file as the accesses happen: it can be followed while the driver runs, and
// a driver killed outright leaves every access it made before.
TEST(BoardSeen, TraceIsInTheFileAsTheDriverRunsAndAfterSigkill) {
    const std::string trace = "/tmp/quelta-trace-" + testsupport::UniqueNamespace("tr");
    RunningDriver driver(DefaultBoard, {"-Q", "5"}, {{"QUELTA_SIM_TRACE", trace}});
    quelta::Device port = RunningDriver::Open("Serial2");
    const auto lastMcrWrite = [&] {
        const std::vector<std::string> writes = TracedWrites(trace, 2, "0x004");
        return writes.empty() ? std::string("none") : writes.back();
    };
    port.SetDtr(true);
    EXPECT_EQ(lastMcrWrite(), "0x01") << "DTR, while the driver runs";
    port.SetRts(true);
    driver.Process().Kill();
    EXPECT_EQ(lastMcrWrite(), "0x03") << "DTR and RTS, before the kill";
    std::remove(trace.c_str());
}

}  // namespace
