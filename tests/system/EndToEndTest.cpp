// The running driver through client processes: every request, data both ways across the
// simulated null-modem pair with the register trace written as the driver runs, and a pty far end
// driven by pyserial.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "client/Device.h"
#include "tests/support/Eventually.h"
#include "tests/system/RunningDriver.h"

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

}  // namespace
