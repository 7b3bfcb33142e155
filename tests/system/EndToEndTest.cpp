// The running driver through client processes: every request, data both ways across the
// simulated null-modem pair with the register trace written as the driver runs, and a pty far end
// driven by pyserial.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "client/Device.h"
#include "tests/support/Eventually.h"
#include "tests/system/RunningDriver.h"
#include "wire/EventBlock.h"
#include "wire/ExtensionRecords.h"

namespace {

using namespace systemtest;
using testsupport::Eventually;

TEST(EndToEnd, EveryRequestOnARunningDriver) {
    const std::string trace = "/tmp/quelta-trace-" + testsupport::UniqueNamespace("tr");
    RunningDriver driver(DefaultBoard, {"-Q", "5"}, {{"QUELTA_SIM_TRACE", trace}});
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
    // Each register access is in the trace file as it happens: here the MCR write of channel 0.
    std::ifstream traced(trace);
    const std::string text((std::istreambuf_iterator<char>(traced)), {});
    EXPECT_NE(text.find(" 0.0 W 0x004 0x03\n"), std::string::npos);
    std::remove(trace.c_str());
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
    a.WriteAll("k", 2s);
    std::vector<std::uint8_t> afterBreak(2);
    b.ReadExact(afterBreak, 2s);
    EXPECT_EQ(std::string(afterBreak.begin(), afterBreak.end()), std::string("\0k", 2))
        << "the break's 0 byte, then what was sent after it ended";

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

// The requests added beyond the described set: the settings in force with the rate the divisor
// really makes, the error counts since the open, and a flush that keeps settings and lines.
TEST(EndToEnd, ExtensionRequestsOnARunningDriver) {
    RunningDriver driver(DefaultBoard);
    quelta::Device a = RunningDriver::Open("Serial0");
    quelta::Device b = RunningDriver::Open("Serial1");
    quelta::PortSettings opened = a.GetSettings();
    EXPECT_TRUE(opened.opened);
    EXPECT_EQ(opened.settings, quelta::LineSettings{});
    EXPECT_EQ(opened.actualBaud, 9600u);

    // 57000 baud from 14.7456 MHz: divisor 16, really 57600 baud.
    const quelta::LineSettings odd{.baudRate = 57000,
                                   .dataBits = 7,
                                   .parity = Parity::Even,
                                   .stopBits = StopBits::Two,
                                   .softwareFlow = true,
                                   .xonChar = 0x21,
                                   .xoffChar = 0x23,
                                   .flowControl = FlowControl::RtsCts,
                                   .lineMode = 2};
    a.Configure(odd);
    EXPECT_THROW(a.Configure({.baudRate = 100000}), quelta::Error) << "2 % off every divisor";
    const quelta::PortSettings inForce = a.GetSettings();
    EXPECT_EQ(inForce.settings, odd) << "a refused configuration is not in force";
    EXPECT_EQ(inForce.clockHz, 14745600u);
    EXPECT_EQ(inForce.divisor, 16u);
    EXPECT_EQ(inForce.actualBaud, 57600u);

    // A break is counted as one, not as a framing error; a wrong parity as parity errors.
    a.Configure({.baudRate = 115200, .parity = Parity::Odd});
    b.Configure({.baudRate = 115200, .parity = Parity::Even});
    a.SetBreak(true);
    std::this_thread::sleep_for(20ms);
    a.SetBreak(false);
    a.WriteAll("ab", 2s);
    EXPECT_TRUE(Eventually([&] { return b.GetErrorCounts().parityErrors == 2; }));
    EXPECT_EQ(b.GetErrorCounts(), (quelta::ErrorCounts{.parityErrors = 2, .breaks = 1}));

    // Flushing the receive side empties it and keeps the settings, DTR and the counts.
    b.SetDtr(true);
    b.Flush(quelta::FlushSide::Receive);
    EXPECT_EQ(b.GetRxCount(), 0u);
    EXPECT_TRUE(b.GetModemControl().dtr);
    EXPECT_EQ(b.GetSettings().settings.parity, Parity::Even);
    EXPECT_EQ(b.GetErrorCounts().breaks, 1u);
    quelta::Device reopened = RunningDriver::Open("Serial1");
    EXPECT_EQ(reopened.GetErrorCounts(), quelta::ErrorCounts{}) << "an open starts the counts";
}

// The interrupt service wakes the clients that wait, several waits of one client at once: bytes
// received (at the lowest receive trigger), a modem line, a break, room in the transmit ring and
// the line drained. A client asleep when the driver ends, stopped or killed outright, notices;
// the clients of the driver started after it wait on that one's events.
TEST(EndToEnd, EventsWakeWaitersAndOutliveARestart) {
    RunningDriver driver(DefaultBoard);
    const DriverCommand command = Driver({"-Q", "5"});
    std::unique_ptr<testsupport::ChildProcess> next;
    testsupport::ChildProcess* serving = &driver.Process();
    for (const std::string end : {"stopped", "killed", ""}) {
        quelta::Device a = RunningDriver::Open("Serial0");
        quelta::Device b = RunningDriver::Open("Serial1");
        a.Configure({.baudRate = 921600});
        b.Configure({.baudRate = 921600});
        b.SetReceiveTrigger(ReceiveTrigger::Lowest);
        std::vector<std::uint8_t> in(4);
        auto received = std::async(std::launch::async, [&] { b.ReadExact(in, 20s); });
        auto dsr = std::async(std::launch::async,
                              [&] { return b.WaitModemChange(quelta::ModemLine::Dsr, 20s); });
        auto lineError =
            std::async(std::launch::async, [&] { return b.WaitEvents(PortEvent::LineError, 20s); });
        std::this_thread::sleep_for(100ms);  // all asleep, most likely
        a.WriteAll("ping", 2s);
        a.SetDtr(true);
        a.Drain(2s);  // a break ends only once the transmitter is idle
        a.SetBreak(true);
        std::this_thread::sleep_for(1ms);  // a character time at least
        a.SetBreak(false);
        received.get();
        EXPECT_EQ(std::string(in.begin(), in.end()), "ping");
        EXPECT_TRUE(dsr.get().value_or(quelta::ModemStatus{}).dsrChanged);
        EXPECT_TRUE(lineError.get().lineErrors.breakReceived);
        b.WriteAll(std::string(3 * b.DataAreaSize(), 'd'), 2s);  // waits for room
        b.Drain(20s);
        if (end.empty()) break;
        b.Flush(quelta::FlushSide::Receive);  // the break's byte
        auto orphan = std::async(std::launch::async, [&] { b.ReadSome(in, 60s); });
        std::this_thread::sleep_for(100ms);
        end == "killed" ? serving->Kill() : (void)serving->Terminate();
        try {
            orphan.get();
            ADD_FAILURE() << end;
        } catch (const quelta::Error& error) {
            EXPECT_EQ(error.Code(), quelta::ErrorCode::NotAnswering) << end;
        }
        next = std::make_unique<testsupport::ChildProcess>(
            command.program, command.arguments,
            std::map<std::string, std::string>{{"QUELTA_SIM", driver.MachinePath()},
                                               {"RTSS_NAMESPACE", driver.Namespace()}});
        ASSERT_TRUE(next->WaitForOutput(Loaded(0, 8))) << next->Out();
        serving = next.get();
    }
    EXPECT_EQ(serving->Terminate(), 0);
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

// The quelta tool on a running driver. 10,000 bytes at 9600 baud: the ring takes 8192 at once and
// the rest as the line drains, about two seconds in all, twice the time-out, and never a stall; on
// a pipe, with no progress line. Ctrl-C then stops the receiver with its count; watch, list,
// flush and status read the port back.
TEST(EndToEnd, ToolOnARunningDriver) {
    RunningDriver driver(DefaultBoard);
    for (const char* name : {"Serial0", "Serial1"}) {
        RunningDriver::Open(name).Configure({.baudRate = 9600});  // the tool attaches to these
    }
    testsupport::ChildProcess recv(QUELTA_TOOL_PATH,
                                   {"recv", "Serial1", "--count", "100000", "--timeout", "30"});
    const auto send =
        testsupport::Run(QUELTA_TOOL_PATH, {"send", "Serial0", "--file", "-", "--timeout", "1"},
                         std::string(10000, 'x'));
    EXPECT_EQ(send.out + send.err, "Serial0: sent 10000 bytes\n");
    ASSERT_TRUE(recv.WaitForOutput("xxxx"));
    kill(recv.Pid(), SIGINT);
    EXPECT_EQ(recv.Wait(), 130);
    const std::string said = recv.Err();
    const std::string head = "quelta: interrupted: received ", tail = " of 100000 bytes\n";
    ASSERT_TRUE(said.starts_with(head) && said.ends_with(tail)) << said;
    const std::string count = said.substr(head.size(), said.size() - head.size() - tail.size());
    EXPECT_TRUE(!count.empty() && count.find_first_not_of("0123456789") == std::string::npos)
        << said;

    // The commands that read the port's state back, on the same driver.
    testsupport::ChildProcess watch(QUELTA_TOOL_PATH, {"watch", "Serial1"});
    ASSERT_TRUE(watch.WaitForOutput("Serial1: CTS off DSR off RI off DCD off\n"));
    quelta::Device sender("Serial0", {.mode = quelta::OpenMode::Attach});
    sender.SetDtr(true);
    EXPECT_TRUE(watch.WaitForOutput(" DSR on\n"));
    kill(watch.Pid(), SIGINT);
    EXPECT_EQ(watch.Wait(), 130);
    EXPECT_NE(testsupport::Run(QUELTA_TOOL_PATH, {"list"}).out.find("Serial0  open    9600 8N1"),
              std::string::npos);
    EXPECT_EQ(testsupport::Run(QUELTA_TOOL_PATH, {"flush", "Serial1", "rx"}).out,
              "Serial1: flushed rx\n");
    const std::string status = testsupport::Run(QUELTA_TOOL_PATH, {"status", "Serial1"}).out;
    EXPECT_NE(status.find("baud           9600 (actual 9600)"), std::string::npos) << status;
    EXPECT_NE(status.find("bytes waiting  0"), std::string::npos) << status;
}

// A 32-bit driver serves this 64-bit process's clients as the 64-bit one does: the objects are the
// same to both. The 32-bit build makes that driver; scripts/test names it in QUELTA_DRIVER_32BIT.
TEST(EndToEnd, A32BitDriverServesThe64BitTool) {
    const char* driver32 = std::getenv("QUELTA_DRIVER_32BIT");
    if (driver32 == nullptr) GTEST_SKIP() << "QUELTA_DRIVER_32BIT names no 32-bit quelta-driver";
    char header[5] = {};
    std::ifstream(driver32, std::ios::binary).read(header, sizeof header);
    ASSERT_EQ(std::string(header, sizeof header),
              "\x7f"
              "ELF\x01")
        << driver32 << ": not 32-bit";
    RunningDriver driver(DefaultBoard, {"-Q", "5"}, {}, driver32);
    for (const char* name : {"Serial0", "Serial1"}) {
        RunningDriver::Open(name).Configure({.baudRate = 9600});  // the tool attaches to these
    }
    for (const auto& [from, to, text] : {std::tuple{"Serial0", "Serial1", std::string(300, 'a')},
                                         {"Serial1", "Serial0", "back"}}) {
        const auto send = testsupport::Run(QUELTA_TOOL_PATH, {"send", from, "--file", "-"}, text);
        EXPECT_EQ(send.exitCode, 0) << send.err;
        const auto recv = testsupport::Run(
            QUELTA_TOOL_PATH,
            {"recv", to, "--count", std::to_string(text.size()), "--timeout", "5"});
        EXPECT_EQ(recv.out, text) << recv.err;
    }
    EXPECT_NE(testsupport::Run(QUELTA_TOOL_PATH, {"list"}).out.find("Serial1  open    9600 8N1"),
              std::string::npos);
}

}  // namespace
