// The quelta program run as users run it: a separate process, its output and exit code, against
// the fake driver side in this process (the namespace comes through the environment).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/client/FakeDriver.h"
#include "tests/client/ToolProcess.h"

namespace {

using clienttest::Quelta;
using clienttest::ToolRun;

bool OneErrorLine(const std::string& err) {
    return err.starts_with("quelta: ") && std::count(err.begin(), err.end(), '\n') == 1 &&
           err.back() == '\n';
}

const char* const AllCommands[] = {"list", "status", "config", "dtr",  "rts",      "break",
                                   "close", "send",  "recv",   "term", "loopback", "bench"};

TEST(Tool, HelpListsEveryCommand) {
    const ToolRun help = Quelta({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : AllCommands) {
        EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    }
    EXPECT_NE(help.out.find("--reset"), std::string::npos);
    const ToolRun bare = Quelta({});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_NE(bare.err.find("Commands:"), std::string::npos);
}

TEST(Tool, EveryCommandHasItsHelp) {
    for (const char* command : AllCommands) {
        for (const char* helpFlag : {"--help", "-h"}) {
            const ToolRun run = Quelta({command, helpFlag});
            EXPECT_EQ(run.exitCode, 0) << command;
            EXPECT_TRUE(run.out.starts_with(std::string("Usage: quelta ") + command)) << run.out;
            EXPECT_NE(run.out.find("Common options"), std::string::npos) << command;
        }
        EXPECT_TRUE(Quelta({"help", command}).out.starts_with("Usage: quelta ")) << command;
    }
}

TEST(Tool, CommandLineMistakesAreOneLineWithExitTwo) {
    struct Case {
        std::vector<std::string> arguments;
        const char* reason;
    };
    const Case cases[] = {
        {{"frob"}, "unknown command 'frob'"},
        {{"status"}, "usage: quelta status"},
        {{"status", "Serial0", "--colour"}, "unknown option --colour"},
        {{"status", "Serial0", "extra"}, "unexpected argument 'extra'"},
        {{"config", "Serial0"}, "usage: quelta config"},
        {{"config", "Serial0", "fast"}, "baud rate must be a whole number"},
        {{"config", "Serial0", "0"}, "baud rate must be at least 1"},
        {{"config", "Serial0", "9600", "9X1"}, "frame format must look like 8N1"},
        {{"config", "Serial0", "9600", "5N2"}, "two stop bits need 6 to 8 data bits"},
        {{"config", "Serial0", "9600", "--rs485", "4"}, "RS-485 line mode 2 or 3"},
        {{"config", "Serial0", "9600", "--rs485"}, "--rs485 needs a value"},
        {{"dtr", "Serial0", "maybe"}, "expected on or off"},
        {{"send", "Serial0"}, "either TEXT or --file"},
        {{"send", "Serial0", "x", "--file", "f"}, "either TEXT or --file"},
        {{"recv", "Serial0", "--count", "-3"}, "--count must be a whole number"},
        {{"recv", "Serial0", "--timeout", "soon"}, "--timeout must be seconds"},
        {{"list", "--full=yes"}, "--full takes no value"},
        {{"status", "Serial0", "--reply-timeout", "0"}, "--reply-timeout must be at least 1 ms"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Quelta(c.arguments);
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(OneErrorLine(run.err)) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
}

TEST(Tool, DeviceFailuresAreOneLineWithExitOne) {
    fake::FakeDriver driver({{"Serial0", 0, true}, {"Serial1", 1, false}, {"Serial3", 3, true}}, 2);
    struct Case {
        std::vector<std::string> arguments;
        const char* reason;
    };
    const Case cases[] = {
        {{"status", "Serial7"}, "no such device: Serial7"},
        {{"status", "\\RtDevice\\Other\\Serial0"}, "not a Quelta device name"},
        {{"status", "Serial1", "--reply-timeout", "100"}, "driver not answering"},
        {{"config", "Serial0", "10"}, "configuration refused by the driver"},
        {{"status", "Serial3"}, "the driver has no port 3"},
        {{"recv", "Serial0", "--count", "4", "--timeout", "0.05"}, "received 0 of 4 bytes"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Quelta(c.arguments);
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(OneErrorLine(run.err)) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    }
}

TEST(Tool, ListShowsTheDevices) {
    const ToolRun none = Quelta({"list"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_TRUE(none.out.empty());
    EXPECT_NE(none.err.find("no devices"), std::string::npos);
    fake::FakeDriver driver(3);
    EXPECT_EQ(Quelta({"list"}).out, "Serial0\nSerial1\nSerial2\n");
    EXPECT_EQ(Quelta({"list", "--full"}).out.substr(0, 25), "\\RtDevice\\Quelta\\Serial0\n");
}

// The sequence users run: settings and received bytes carry over between invocations.
TEST(Tool, ConfigSendRecvStatusAcrossInvocations) {
    fake::FakeDriver driver(2);
    const ToolRun config0 = Quelta({"config", "Serial0", "115200", "8N1"});
    EXPECT_EQ(config0.exitCode, 0) << config0.err;
    EXPECT_EQ(config0.out, "Serial0: 115200 8N1\n");
    EXPECT_EQ(Quelta({"config", "Serial1", "115200", "8N1"}).exitCode, 0);
    const ToolRun send = Quelta({"send", "Serial0", "hello"});
    EXPECT_EQ(send.exitCode, 0) << send.err;
    EXPECT_EQ(send.out, "Serial0: sent 5 bytes\n");
    // The null-modem wire between the two ports.
    std::vector<std::uint8_t> sent;
    driver.WithPort(0, [&](fake::PortModel& model) { sent = model.sent; });
    driver.WithPort(1, [&](fake::PortModel& model) { model.received.assign(sent.begin(), sent.end()); });
    const ToolRun recv = Quelta({"recv", "Serial1", "--count", "5", "--timeout", "2"});
    EXPECT_EQ(recv.exitCode, 0) << recv.err;
    EXPECT_EQ(recv.out, "hello");
    const ToolRun status = Quelta({"status", "Serial0"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("Serial0 (port 0)"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("bytes waiting  0"), std::string::npos) << status.out;
    for (int port : {0, 1}) {
        driver.WithPort(port, [](fake::PortModel& model) {
            EXPECT_EQ(model.opens, 1) << "a later invocation reset the port";
            EXPECT_EQ(model.config.baudRate, 115200);
        });
    }
}

TEST(Tool, ResetOptionOpensThePortAfresh) {
    fake::FakeDriver driver(1);
    EXPECT_EQ(Quelta({"status", "Serial0"}).exitCode, 0);
    EXPECT_EQ(Quelta({"status", "Serial0", "--reset"}).exitCode, 0);
    driver.WithPort(0, [](fake::PortModel& model) { EXPECT_EQ(model.opens, 2); });
}

TEST(Tool, ConfigOptionsReachTheWireRecord) {
    fake::FakeDriver driver(1);
    const ToolRun run = Quelta({"config", "Serial0", "57600", "7e2", "--rtscts", "--xonxoff", "--rs485", "3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Serial0: 57600 7E2, RTS/CTS, XON/XOFF (0x11/0x13), RS-485 mode 3\n");
    driver.WithPort(0, [](fake::PortModel& model) {
        EXPECT_EQ(model.config.baudRate, 57600);
        EXPECT_EQ(model.config.dataBits, 7);
        EXPECT_EQ(model.config.parity, 'e');
        EXPECT_EQ(model.config.stopBits, 2);
        EXPECT_EQ(model.config.flowControl, 0x03);
        EXPECT_NE(model.config.softwareFlow, 0U);
        EXPECT_EQ(model.config.lineMode, 3);
    });
}

TEST(Tool, StatusAsJson) {
    fake::FakeDriver driver(1);
    EXPECT_EQ(Quelta({"status", "Serial0"}).exitCode, 0);
    driver.WithPort(0, [](fake::PortModel& model) {
        model.msr = 0x31;
        model.lineErrors = 0x08;
        model.received.assign(3, 0);
        model.mcr = 0x02;
    });
    const ToolRun run = Quelta({"status", "Serial0", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const char* field : {"\"device\": \"Serial0\"", "\"raw\": 49", "\"cts\": true",
                              "\"ctsChanged\": true", "\"dcd\": false", "\"framingError\": true",
                              "\"rts\": true", "\"dtr\": false", "\"bytesWaiting\": 3"}) {
        EXPECT_NE(run.out.find(field), std::string::npos) << field << "\n" << run.out;
    }
}

TEST(Tool, SignalCommandsDriveTheOutputs) {
    fake::FakeDriver driver(1);
    EXPECT_EQ(Quelta({"dtr", "Serial0", "on"}).out, "Serial0: dtr on\n");
    EXPECT_EQ(Quelta({"rts", "Serial0", "on"}).exitCode, 0);
    EXPECT_EQ(Quelta({"rts", "Serial0", "off"}).exitCode, 0);
    EXPECT_EQ(Quelta({"break", "Serial0", "on"}).exitCode, 0);
    driver.WithPort(0, [](fake::PortModel& model) {
        EXPECT_EQ(model.mcr, 0x01);
        EXPECT_TRUE(model.breakOn);
    });
    EXPECT_EQ(Quelta({"close", "Serial0"}).exitCode, 0);
    driver.WithPort(0, [](fake::PortModel& model) { EXPECT_EQ(model.requests.back(), SerialClose); });
}

TEST(Tool, SendsFilesStandardInputAndDashText) {
    fake::FakeDriver driver(1);
    const std::string path = testing::TempDir() + "quelta-send-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << std::string("\x00\x01\xff", 3);
    EXPECT_EQ(Quelta({"send", "Serial0", "--file", path}).exitCode, 0);
    std::remove(path.c_str());
    EXPECT_EQ(Quelta({"send", "Serial0", "--file", "-"}, "piped").exitCode, 0);
    EXPECT_EQ(Quelta({"send", "Serial0", "--newline", "--", "-x"}).exitCode, 0);
    std::vector<std::uint8_t> sent;
    driver.WithPort(0, [&](fake::PortModel& model) { sent = model.sent; });
    EXPECT_EQ(std::string(sent.begin(), sent.end()), std::string("\x00\x01\xff", 3) + "piped-x\n");
}

TEST(Tool, RecvPrintsWhatCameAndHex) {
    fake::FakeDriver driver(1);
    EXPECT_EQ(Quelta({"status", "Serial0"}).exitCode, 0);
    driver.WithPort(0, [](fake::PortModel& model) { model.received = {'o', 'k'}; });
    const ToolRun partial = Quelta({"recv", "Serial0", "--count", "5", "--timeout", "0.1"});
    EXPECT_EQ(partial.exitCode, 1);
    EXPECT_EQ(partial.out, "ok");
    EXPECT_NE(partial.err.find("received 2 of 5 bytes within 0.1 s"), std::string::npos);
    driver.WithPort(0, [](fake::PortModel& model) { model.received = {0x00, 0x41, 0xfe}; });
    EXPECT_EQ(Quelta({"recv", "Serial0", "--hex", "--timeout", "0.05"}).out, "00 41 fe\n");
}

TEST(Tool, TermSendsInputAndShowsTheLine) {
    fake::FakeDriver driver(1);
    EXPECT_EQ(Quelta({"status", "Serial0"}).exitCode, 0);
    driver.WithPort(0, [](fake::PortModel& model) { model.received = {'x', 'y', 'z'}; });
    const ToolRun run = Quelta({"term", "Serial0"}, "abc");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "xyz");
    const ToolRun leave = Quelta({"term", "Serial0"}, std::string("de\x1d" "f"));
    EXPECT_EQ(leave.exitCode, 0) << leave.err;
    std::vector<std::uint8_t> sent;
    driver.WithPort(0, [&](fake::PortModel& model) { sent = model.sent; });
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "abcde");
}

TEST(Tool, LoopbackChecksThePatternThatComesBack) {
    fake::FakeDriver driver(2);
    driver.WithPort(0, [](fake::PortModel& model) { model.wiredTo = 1; });
    const ToolRun good = Quelta({"loopback", "Serial0", "Serial1", "--count", "20000"});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_TRUE(good.out.starts_with("loopback Serial0 -> Serial1: 20000 bytes OK")) << good.out;

    driver.WithPort(0, [](fake::PortModel& model) { model.wireFlips = 0x04; });
    const ToolRun bad = Quelta({"loopback", "Serial0", "Serial1", "--count", "16"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(OneErrorLine(bad.err)) << bad.err;
    EXPECT_NE(bad.err.find("byte 0 differs"), std::string::npos) << bad.err;

    driver.WithPort(0, [](fake::PortModel& model) { model.wiredTo = -1; });
    const ToolRun silent = Quelta({"loopback", "Serial0", "Serial1", "--count", "16", "--timeout", "0.1"});
    EXPECT_EQ(silent.exitCode, 1);
    EXPECT_NE(silent.err.find("0 of 16 bytes came back"), std::string::npos) << silent.err;
}

}  // namespace
