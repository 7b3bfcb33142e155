// The quelta program as users run it: a process of its own, its output and exit code, against
// the devices of this process (the namespace reaches it through the environment).
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include <cctype>
#include "port/PortReport.h"

#include "tests/client/LiveServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/TestNamespace.h"

namespace {

using namespace clienttest;
using Tool = LiveServer;

testsupport::Finished Quelta(const std::vector<std::string>& words, const std::string& in = "") {
    return testsupport::Run(QUELTA_TOOL_PATH, words, in);
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.starts_with(start);
}

// The text with each time stamp "[hh:mm:ss.mmm] " written as "[T] ".
std::string Unstamped(const std::string& text) {
    const std::string shape = "[00:00:00.000] ";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool stamp = i + shape.size() <= text.size();
        for (std::size_t j = 0; stamp && j < shape.size(); ++j) {
            const char c = text[i + j];
            stamp =
                shape[j] == '0' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == shape[j];
        }
        out += stamp ? "[T] " : std::string(1, text[i]);
        i += stamp ? shape.size() : 1;
    }
    return out;
}

// A failure is one line on standard error, with its reason.
void ExpectFailure(const std::vector<std::string>& arguments, int exitCode, const char* reason) {
    const testsupport::Finished run = Quelta(arguments);
    EXPECT_EQ(run.exitCode, exitCode) << reason;
    EXPECT_TRUE(run.err.starts_with("quelta: ") && run.err.find('\n') == run.err.size() - 1);
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
}

// Mistakes in the command line exit 2, what the device or the driver refuses exits 1.
TEST_F(Tool, FailuresAreOneLineWithTheirExitCode) {
    // clang-format off
    const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
        {{"status"}, 2, "usage: quelta status"}, {{"status", "Serial5"}, 1, "status 87"},
        {{"status", "Serial7"}, 1, "no such device: Serial7 (the driver has Serial0 to Serial9;"},
        {{"status", "Serial9"}, 1, "Serial9: the driver has no port for this name"},
        {{"status", "Serial0", "--colour"}, 2, "unknown option --colour"},
        {{"status", "Serial0", "extra"}, 2, "unexpected argument 'extra'"},
        {{"status", "Serial0", "--reply-timeout", "0"}, 2, "--reply-timeout must be at least 1"},
        {{"config", "Serial0", "0"}, 2, "baud rate must be at least 1"},
        {{"config", "Serial0", "9600", "9X1"}, 2, "frame format must look like 8N1"},
        {{"config", "Serial0", "9600", "5N2"}, 2, "two stop bits need 6 to 8 data bits"},
        {{"config", "Serial0", "9600", "--rs485", "4"}, 2, "RS-485 line mode 2 or 3"},
        {{"config", "Serial0", "9600", "--rs485"}, 2, "--rs485 needs a value"},
        {{"config", "Serial0", "--rx-trigger", "57"}, 2, "--rx-trigger takes a level from 1 to 56"},
        {{"config", "Serial0", "--xonxoff"}, 2, "config takes a baud rate, --rx-trigger, or both"},
        {{"dtr", "Serial0", "maybe"}, 2, "expected on or off"},
        {{"send", "Serial0", "x", "--file", "f"}, 2, "either TEXT or --file"},
        {{"recv", "Serial0", "--count", "-3"}, 2, "--count must be a whole number"},
        {{"recv", "Serial0", "--timeout", "soon"}, 2, "--timeout must be seconds"},
        {{"recv", "Serial0", "--follow", "--count", "1"}, 2, "--follow takes neither"},
        {{"watch", "Serial0", "--interval", "0"}, 2, "--interval must be at least 1 ms"},
        {{"flush", "Serial0", "sideways"}, 2, "expected rx, tx or both"},
        {{"list", "--full=yes"}, 2, "--full takes no value"}, {{"zap"}, 2, "unknown command 'zap'"},
        {{"status", "\\RtDevice\\Other\\Serial0"}, 1, "not a Quelta device name"},
        {{"config", "Serial0", "10"}, 1, "configuration refused by the driver"},
    };
    // clang-format on
    for (const auto& [words, exitCode, reason] : cases) ExpectFailure(words, exitCode, reason);
    testsupport::Script(Forced({}, {}, true));  // every request held
    ExpectFailure({"status", "Serial0", "--reply-timeout", "100"}, 1, "did not answer");
    EXPECT_EQ(Quelta({}).exitCode, 2);
    EXPECT_NE(Quelta({"--help"}).out.find("\n  send DEV TEXT | send DEV --file FILE"),
              std::string::npos);
    EXPECT_TRUE(Quelta({"recv", "--help"}).out.starts_with("Usage: quelta recv DEV"));
    EXPECT_EQ(Quelta({"help", "recv"}).out, Quelta({"recv", "--help"}).out);
}

// list attaches only: a port nobody opened stays closed, an open one keeps its settings and bytes.
TEST_F(Tool, ListShowsTheDevicesWithoutOpeningThem) {
    quelta::Device("Serial0").Configure({.baudRate = 115200, .flowControl = FlowControl::RtsCts});
    Arrive(0, "abc");
    EXPECT_EQ(Quelta({"list"}).out,
              "Serial0  open    115200 8N1 RTS/CTS  3 bytes waiting\nSerial1  closed\n"
              "Serial5  closed\nSerial9  closed\n");
    EXPECT_PRED2(StartsWith, Quelta({"list", "--json", "--full"}).out,
                 "[\n {\"device\": \"\\\\RtDevice\\\\Quelta\\\\Serial0\", \"state\": \"open\", "
                 "\"opened\": true, \"baud\": 115200, \"actualBaud\": 115200, \"frame\": \"8N1\", "
                 "\"flowControl\": \"RTS/CTS\", \"xonXoff\": false, \"xonChar\": 17, ");
    EXPECT_NE(Quelta({"list", "--json"})
                  .out.find("\"rxTrigger\": 56, \"bytesWaiting\": 3},\n "
                            "{\"device\": \"Serial1\", \"state\": \"closed\"},"),
              std::string::npos);
    const std::map<std::string, std::string> empty = {
        {"RTSS_NAMESPACE", testsupport::UniqueNamespace("none")}};
    const auto none = testsupport::Run(QUELTA_TOOL_PATH, {"list"}, "", empty);
    EXPECT_EQ(none.out + std::to_string(none.exitCode), "0");
    EXPECT_NE(none.err.find("no devices"), std::string::npos);
    EXPECT_NE(testsupport::Run(QUELTA_TOOL_PATH, {"recv", "Serial4"}, "", empty)
                  .err.find("no such device: Serial4 (is quelta-driver running?"),
              std::string::npos);
}

// What users run one after another: settings, outputs and received bytes carry over between
// invocations, which attach to the port unless told --reset.
TEST_F(Tool, CommandsCarryOverBetweenInvocations) {
    std::optional<Wire> wire(std::in_place, 0, 1);
    const std::pair<std::vector<std::string>, const char*> steps[] = {
        {{"config", "Serial0", "57000", "7e2", "--rtscts", "--xonxoff", "--rs485", "3"},
         "Serial0: 57000 7E2, RTS/CTS, XON/XOFF (0x11/0x13), RS-485 mode 3\n"},
        {{"config", "Serial0", "--rx-trigger", "8"}, "Serial0: rx trigger 8 bytes\n"},
        {{"config", "Serial1", "57600", "7e2"}, "Serial1: 57600 7E2\n"},
        {{"send", "Serial0", "hello"}, "Serial0: sent 5 bytes\n"},
        {{"recv", "Serial1", "--count", "5", "--timeout", "5"}, "hello"},
        {{"dtr", "Serial0", "off"}, "Serial0: dtr off\n"},
        {{"rts", "Serial0", "on"}, "Serial0: rts on\n"},
        {{"break", "Serial0", "on"}, "Serial0: break on\n"},
    };
    for (const auto& [arguments, out] : steps) EXPECT_EQ(Quelta(arguments).out, out);
    EXPECT_EQ(regs_.Latch(LCR), 0x5E) << "7E2 with break";
    regs_.Set(MSR, 0x31);
    PortTable[0]->lineErrors = 0x0A;
    PortReports[0].parityErrors = 2;
    PortReports[0].ringOverruns = 5;
    Arrive(0, "abc");
    EXPECT_EQ(Quelta({"status", "Serial0", "--json"}).out,
              "{\"device\": \"Serial0\", \"port\": 0,\n \"modemStatus\": {\"raw\": 49, \"cts\": "
              "true, \"dsr\": true, \"ring\": false, \"dcd\": false, \"ctsChanged\": true, "
              "\"dsrChanged\": false, \"ringEnded\": false, \"dcdChanged\": false},\n "
              "\"lineStatus\": {\"raw\": 96, \"dataReady\": false, \"overrun\": false, "
              "\"parityError\": false, \"framingError\": false, \"break\": false, "
              "\"holdingEmpty\": true, \"transmitterEmpty\": true, \"fifoError\": false},\n "
              "\"modemControl\": {\"raw\": 2, \"dtr\": false, \"rts\": true},\n "
              "\"lineErrors\": {\"raw\": 10, \"overrun\": true, \"parityError\": false, "
              "\"framingError\": true, \"break\": false, \"fifoError\": false},\n "
              "\"bytesWaiting\": 3,\n \"settings\": {\"opened\": true, \"baud\": 57000, "
              "\"actualBaud\": 57600, \"frame\": \"7E2\", \"flowControl\": \"RTS/CTS\", "
              "\"xonXoff\": true, \"xonChar\": 17, \"xoffChar\": 19, \"lineMode\": \"RS-485 mode "
              "3\", \"rxTrigger\": 8},\n \"errorCounts\": {\"overruns\": 0, \"parityErrors\": 2, "
              "\"framingErrors\": "
              "0, \"breaks\": 0, \"ringOverruns\": 5}}\n");
    EXPECT_NE(
        Quelta({"status", "Serial0"})
            .out.find("overrun, framing-error (since the driver started)\n  bytes waiting  3\n"
                      "  baud           57000 (actual 57600)\n  frame          7E2\n"
                      "  flow control   RTS/CTS\n  XON/XOFF       on (0x11/0x13)\n"
                      "  line mode      RS-485 mode 3\n  rx trigger     8 bytes\n  error counts   "
                      "overruns 0, parity 2, "
                      "framing 0, breaks 0, ring overruns 5 (since the port was opened)\n"),
        std::string::npos);
    PortReports[1].inForce = {};  // what the driver reports for a port before its first open
    EXPECT_NE(Quelta({"status", "Serial1"}).out.find("  settings       not opened since"),
              std::string::npos);
    EXPECT_EQ(regs_.Latch(DLL), 16) << "a later invocation reset the port";
    EXPECT_EQ(Quelta({"status", "Serial0", "--reset"}).exitCode, 0);
    EXPECT_EQ(regs_.Latch(DLL), 96) << "--reset opens the port afresh at 9600";
    wire.reset();
    quelta::Device("Serial0", {.mode = quelta::OpenMode::Attach}).WriteAll("xyz", 1s);
    Arrive(0, "abc");
    EXPECT_EQ(Quelta({"flush", "Serial0", "rx"}).out, "Serial0: flushed rx\n");
    EXPECT_EQ(PortTable[0]->rxCount + PortTable[0]->txCount, 3u) << "the receive side only";
    EXPECT_EQ(Quelta({"flush", "Serial0"}).out, "Serial0: flushed rx and tx\n");
    EXPECT_EQ(PortTable[0]->txCount, 0u);
    EXPECT_EQ(Quelta({"close", "Serial0"}).out, "Serial0: closed\n");
    EXPECT_EQ(regs_.Latch(MCR) & Mcr::SignalMask, 0) << "RTS dropped";
}

TEST_F(Tool, SendRecvAndTermMoveTheBytes) {
    quelta::Device("Serial0");  // opened: the commands attach to it
    EXPECT_EQ(Quelta({"send", "Serial0", "--file", "-"}, std::string("\0\xff", 2)).exitCode, 0);
    EXPECT_EQ(Quelta({"send", "Serial0", "--newline", "--", "-x"}).exitCode, 0);
    EXPECT_EQ(Quelta({"term", "Serial0"}, "ab").exitCode, 0);
    EXPECT_EQ(Quelta({"term", "Serial0"}, "cd\x1d" + std::string("e")).exitCode, 0);  // Ctrl-]
    EXPECT_EQ(Sent(0), std::string("\0\xff", 2) + "-x\nabcd");
    Arrive(0, "xyz");
    EXPECT_EQ(Quelta({"term", "Serial0"}).out, "xyz");
    Arrive(0, std::string("\x00\x41\xfe", 3));
    EXPECT_EQ(Quelta({"recv", "Serial0", "--hex", "--timeout", "0.2"}).out,
              "00000000  00 41 fe" + std::string(42, ' ') + "|.A.|\n00000003\n");
    Arrive(0, "ok");
    const auto partial = Quelta({"recv", "Serial0", "--count", "5", "--timeout", "0.3"});
    EXPECT_EQ(partial.out + std::to_string(partial.exitCode), "ok1");
    EXPECT_NE(partial.err.find("received 2 of 5 bytes; nothing arrived for 0.3 s"),
              std::string::npos);
    Arrive(0, "at");
    EXPECT_EQ(Unstamped(Quelta({"recv", "Serial0", "--timestamps", "--timeout=0.1"}).out),
              "[T] at");
    Arrive(0, "hex");
    EXPECT_EQ(Unstamped(Quelta({"recv", "Serial0", "--timestamps", "--hex", "--timeout=0.1"}).out),
              "[T] 00000000  68 65 78" + std::string(42, ' ') + "|hex|\n[T] 00000003\n");
}

TEST_F(Tool, LoopbackChecksThePatternThatComesBack) {
    std::optional<Wire> wire(std::in_place, 0, 1);
    const auto good = Quelta({"loopback", "Serial0", "Serial1", "--count", "20000"});
    EXPECT_TRUE(good.out.starts_with("loopback Serial0 -> Serial1: 20000 bytes OK")) << good.err;
    wire.emplace(0, 1, 0x04);
    ExpectFailure({"loopback", "Serial0", "Serial1", "--count", "16"}, 1, "byte 0 differs");
    wire.reset();
    ExpectFailure({"loopback", "Serial0", "Serial1", "--count", "16", "--timeout", "0.1"}, 1,
                  "0 of 16 bytes came back");
}

// Time-outs count from the last byte moved: over a slow line (so many bytes every 50 ms) each
// transfer takes longer in all than its time-out but never stalls for that long.
TEST_F(Tool, TimeOutsCountFromTheLastByteMoved) {
    quelta::Device("Serial0").WriteAll(std::string(4000, 'r'), 1s);
    quelta::Device("Serial1");  // opened now: a reset would empty what arrived so far
    const std::string file = ::testing::TempDir() + testsupport::UniqueNamespace("send");
    std::ofstream(file) << std::string(13000, 's');
    const std::string tool = QUELTA_TOOL_PATH;
    const std::string slow = "--timeout=0.4";
    const std::tuple<std::uint32_t, std::vector<std::string>, const char*> cases[] = {
        {250, {tool, "recv", "Serial1", "--count", "4000", slow}, ""},
        {250, {tool, "loopback", "Serial0", "Serial1", "--count", "4000", slow}, "4000 bytes OK"},
        // Standard error on a terminal (script's pty): the progress line of a send over 1 s.
        {200,
         {"/usr/bin/script", "-qec", tool + " send Serial0 --file " + file + " " + slow,
          "/dev/null"},
         "\r  13000/13000 bytes  "},
    };
    for (const auto& [perTurn, words, shown] : cases) {
        const Wire wire(0, 1, 0, perTurn, 50ms);
        const auto run = testsupport::Run(words[0], {words.begin() + 1, words.end()});
        EXPECT_EQ(run.exitCode, 0) << words[1] << run.err;
        EXPECT_NE(run.out.find(shown), std::string::npos) << words[1] << run.out;
    }
    std::remove(file.c_str());
}

// Ctrl-C stops a waiting command at once, with what moved so far; following ends that way.
TEST_F(Tool, InterruptedCommandsSayHowFarTheyGot) {
    const auto tail = [](const std::string& text) {
        return [=](testsupport::ChildProcess& child) { return child.WaitForOutput(text); };
    };
    const auto ringFull = [](testsupport::ChildProcess&) {
        return testsupport::Eventually([] { return PortTable[0]->txCount == RingSize; });
    };
    struct Case {
        std::vector<std::string> words;
        std::function<bool(testsupport::ChildProcess&)> ready;
        const char* err;
    };
    const Case cases[] = {
        {{"recv", "Serial0", "--count", "100", "--timeout", "30"},
         tail("0123456789abcdefg"),
         "quelta: interrupted: received 17 of 100 bytes\n"},
        // A hex line shows as soon as its 16 bytes are there, the partial one at the end.
        {{"recv", "Serial0", "--follow", "--hex"},
         tail("|0123456789abcdef|\n"),
         "quelta: received 17 bytes\n"},
        {{"send", "Serial0", "--file", "-", "--timeout", "30"},
         ringFull,
         "quelta: interrupted: sent 8192 of 20000 bytes\n"},
        {{"loopback", "Serial0", "Serial1", "--count", "20000", "--timeout", "30"},
         ringFull,
         "quelta: interrupted: sent 8192 of 20000 bytes, 0 came back\n"},
        {{"watch", "Serial0"}, tail("DCD off\n"), ""},
    };
    for (const Case& c : cases) {
        quelta::Device("Serial0").Flush(quelta::FlushSide::Both);
        Arrive(0, "0123456789abcdefg");
        testsupport::ChildProcess child(QUELTA_TOOL_PATH, c.words, {}, std::string(20000, 's'));
        ASSERT_TRUE(c.ready(child)) << c.words[0] << child.Err();
        kill(child.Pid(), SIGINT);
        EXPECT_EQ(child.Wait(), 130) << c.words[0];
        EXPECT_EQ(child.Err(), c.err) << c.words[0];
    }
}

// recv, term, send --file and loopback (both ends) claim their devices unless told --shared. While
// a claim is held every other command is refused, as opens of a tty in exclusive mode are.
TEST_F(Tool, ASecondTakerIsBusy) {
    const std::string busy = "Serial0: busy: held by PID " + std::to_string(getpid());
    {
        const quelta::Device holder("Serial0", {.exclusive = true});
        for (const std::vector<std::string>& words :
             {std::vector<std::string>{"recv", "Serial0"},
              {"term", "Serial0"},
              {"send", "Serial0", "--file", "-"},
              {"loopback", "Serial1", "Serial0"},
              {"recv", "Serial0", "--timeout", "0", "--shared"},
              {"send", "Serial0", "text"}}) {
            ExpectFailure(words, 1, busy.c_str());
        }
    }
    const Wire wire(0, 0);
    EXPECT_EQ(Quelta({"loopback", "Serial0"}).exitCode, 0) << "one device claimed once";
}

// watch reports changes of the modem inputs and new line errors, reads no bytes, and ends with
// one line when the driver stops answering.
TEST_F(Tool, WatchReportsChangesUntilTheDriverGoesAway) {
    const quelta::Device opened("Serial0");
    Arrive(0, "abc");
    testsupport::ChildProcess watch(QUELTA_TOOL_PATH, {"watch", "Serial0", "--interval", "1"});
    ASSERT_TRUE(watch.WaitForOutput(" Serial0: CTS off DSR off RI off DCD off\n"));
    regs_.Set(MSR, Msr::Cts | Msr::Dcd);
    PortReports[0].parityErrors = 1;
    PortReports[0].breaks = 1;
    for (const char* change : {" CTS on\n", " DCD on\n", " +1 parity error\n", " break\n"}) {
        EXPECT_TRUE(watch.WaitForOutput(change)) << change << watch.Out();
    }
    kill(watch.Pid(), SIGINT);
    EXPECT_EQ(watch.Wait(), 130);
    EXPECT_EQ(PortTable[0]->rxCount, 3u);
    testsupport::ChildProcess orphan(QUELTA_TOOL_PATH, {"watch", "Serial0", "--reply-timeout=100"});
    ASSERT_TRUE(orphan.WaitForOutput("DCD on\n"));
    testsupport::Script(Forced({}, {}, true));
    EXPECT_EQ(orphan.Wait(), 1);
    EXPECT_NE(orphan.Err().find("did not answer"), std::string::npos) << orphan.Err();
}

}  // namespace
