// quelta::Device against the driver's request path: what each request does to its port, what
// comes back, and the errors a client must get instead of a hang or a wrong answer.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "client/posix/ObjectNames.h"
#include "port/PortOps.h"
#include "tests/client/LiveServer.h"
#include "tests/support/ChildProcess.h"

namespace {

using namespace clienttest;
using quelta::OpenMode;
using Device = LiveServer;

TEST_F(Device, TransfersSpanSeveralRequestsAndSettingsArriveAsGiven) {
    quelta::Device port("Serial1");
    // Another client scribbles over the block's port index: requests still go where opening said.
    channels_[1]->Request().portIndex = 0;
    std::vector<std::uint8_t> data(2500);  // three requests' worth through the small data area
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
    EXPECT_EQ(port.Write(data), data.size());
    Arrive(1, Sent(1));                    // the port wired to itself
    std::vector<std::uint8_t> back(4000);  // more than came: the read stops at a short reply
    EXPECT_EQ(std::vector(back.begin(), back.begin() + static_cast<long>(port.Read(back))), data);
    const quelta::LineSettings settings{.baudRate = 115200,
                                        .dataBits = 7,
                                        .parity = 'e',
                                        .softwareFlow = true,
                                        .xonChar = 0x21,
                                        .flowControl = FlowControl::RtsCts,
                                        .lineMode = 3};
    port.Configure(settings, quelta::Apply::Now);  // what was written never leaves this line
    EXPECT_EQ(quelta::LineSettings::FromWire(PortTable[1]->config), settings);
    EXPECT_EQ(regs_.Latch(LCR, 1), 0x1A) << "7E1";
    EXPECT_EQ(regs_.Latch(XonReg, 1), 0x21);
}

// A WriteAll that runs out of time reports the bytes the driver took (as ReadExact does,
// CApi.RoundTripErrorCodesAndMessages); its time-out counts from the last of them.
TEST_F(Device, WriteAllTimesOutOnlyWhenNothingMoves) {
    quelta::Device port("Serial0");
    const std::string more(RingSize + 100, 'w');
    EXPECT_EQ(Thrown([&] { port.WriteAll(more, 50ms); }).Transferred(), RingSize) << "ring full";
    // WriteAll's time-out counts from the last byte taken: a line that drains the full ring
    // slowly but steadily outlasts it.
    const Wire slowLine(0, 1, 0, 250, 50ms);
    EXPECT_NO_THROW(port.WriteAll(std::string(4000, 's'), 400ms));
}

// What the library refuses before sending is what the driver would refuse. A rate the board's
// clock cannot make only the driver can tell (CApi.RoundTripErrorCodesAndMessages).
TEST_F(Device, ConfigurationRefusedBeforeSendingOrByTheDriver) {
    // clang-format off
    const std::pair<quelta::LineSettings, bool> cases[] = {
        {{}, false}, {{.dataBits = 7, .parity = 's'}, false}, {{.baudRate = 0}, true},
        {{.dataBits = 6, .parity = 'o', .stopBits = 2}, false}, {{.dataBits = 4}, true},
        {{.dataBits = 5, .parity = 'm', .stopBits = 3}, false}, {{.dataBits = 9}, true},
        {{.parity = 'N'}, true}, {{.dataBits = 5, .stopBits = 2}, true}, {{.stopBits = 3}, true},
        {{.stopBits = 0}, true},
    };
    // clang-format on
    for (const auto& [settings, refused] : cases) {
        SCOPED_TRACE(std::to_string(settings.baudRate) + " " + quelta::FormatFrame(settings));
        const LineConfig wire = settings.ToWire();
        EXPECT_EQ(quelta::ExplainRefusal(settings).has_value(), refused);
        EXPECT_EQ(SetPortConfig(0, reinterpret_cast<const std::uint8_t*>(&wire)) != 0, refused);
    }
    quelta::Device port("Serial0");
    const LineConfig before = PortTable[0]->config;
    EXPECT_EQ(Thrown([&] { port.Configure({.dataBits = 5, .stopBits = 2}); }).Code(),
              ErrorCode::ConfigRefused);
    // Not sent: the driver keeps what a configuration request brings, also when it refuses it.
    EXPECT_EQ(std::memcmp(&PortTable[0]->config, &before, sizeof before), 0);
}

TEST_F(Device, ErrorsInsteadOfWrongAnswers) {
    quelta::Device port("Serial0");
    std::vector<std::uint8_t> small(16, 0xEE);
    // clang-format off
    const std::tuple<testsupport::DispatchScript, std::function<void()>, ErrorCode> cases[] = {
        {{}, [] { quelta::Device("Serial9"); }, ErrorCode::NoSuchDevice},  // no port for the name
        {{}, [] { quelta::Device("Serial5"); }, ErrorCode::InvalidPort},   // the port is not set up
        {Forced({}, 9000), [&] { port.Read(small); }, ErrorCode::ProtocolError},
        {Forced({}, 9000), [&] { port.Write(small); }, ErrorCode::ProtocolError},
        {Forced({}, 3), [&] { port.GetRxCount(); }, ErrorCode::ProtocolError},
        {Forced({}, 0), [&] { port.GetLineErrors(); }, ErrorCode::ProtocolError},
        {Forced({}, 2), [&] { port.Configure({}); }, ErrorCode::ProtocolError},
    };
    // clang-format on
    for (const auto& row : cases) {
        testsupport::Script(std::get<0>(row));
        EXPECT_EQ(Thrown(std::get<1>(row)).Code(), std::get<2>(row)) << "case " << &row - cases;
    }
    EXPECT_EQ(small, std::vector<std::uint8_t>(16, 0xEE)) << "an impossible count was copied";
    PortRecord* const record = std::exchange(PortTable[0], nullptr);  // the driver restarted
    EXPECT_EQ(Thrown([&] { port.GetLineErrors(); }).Code(), ErrorCode::InvalidPort);
    PortTable[0] = record;
}

// A request the driver takes and answers late keeps what it moved. One that gives up leaves the
// reply to the next request: this handle's next Read brings a late read's bytes first and a late
// write's count is kept, while another client's request waits for that reply before its own and
// never takes it for its own answer. One that waits for late replies gets its own, said once.
// A request the driver never took is withdrawn.
TEST_F(Device, LateRepliesAreKeptAndNeverTakenForAnother) {
    const quelta::Device opener("Serial0");
    quelta::Device held("Serial0", {.mode = OpenMode::Attach, .replyTimeout = 100ms});
    quelta::Device next("Serial0", {.mode = OpenMode::Attach, .replyTimeout = 1s});
    std::vector<quelta::Stall> told;
    const auto tell = [&](quelta::Stall what) { return told.push_back(what), true; };
    quelta::Device waiter(
        "Serial0",
        {.mode = OpenMode::Attach, .replyTimeout = 50ms, .waitLateReplies = true, .onStall = tell});
    // Holds the driver's requests from now on; those held are answered `after` (0: not here).
    const auto stall = [](std::chrono::milliseconds after) {
        testsupport::Script(Forced({}, {}, true));
        return std::jthread([after] {
            std::this_thread::sleep_for(after);
            if (after > 0ms) testsupport::ReleaseHeld();
        });
    };
    Arrive(0, "late bytes");
    std::vector<std::uint8_t> bytes(4);
    stall(0ms);
    EXPECT_EQ(Thrown([&] { held.Read(bytes); }).Code(), ErrorCode::NotAnswering);
    EXPECT_EQ(Thrown([&] { next.GetRxCount(); }).Code(), ErrorCode::NotAnswering) << "not taken";
    EXPECT_EQ(RtWaitForSingleObject(channels_[0]->Get()->requestSemaphore, 0),
              RtValue::WaitTimeout);
    testsupport::ReleaseHeld();
    bytes.resize(16);
    const std::size_t first = held.Read(std::span(bytes).first(2));  // part of the late ones
    bytes.resize(first + held.Read(std::span(bytes).subspan(first)));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "late bytes") << "none lost or twice";
    {
        const auto answer = stall(200ms);
        EXPECT_EQ(Thrown([&] { held.WriteAll("xyz", 1s); }).Code(), ErrorCode::NotAnswering);
        Arrive(0, "12345");
        EXPECT_EQ(next.GetRxCount(), 5U) << "its own answer, not the write's count";
    }
    EXPECT_EQ(held.TakeLateWriteCount(), std::nullopt) << "collected by the other client";
    stall(0ms);
    EXPECT_EQ(Thrown([&] { held.WriteAll("abc", 1s); }).Code(), ErrorCode::NotAnswering);
    testsupport::ReleaseHeld();
    EXPECT_EQ(held.GetRxCount(), 5U);
    EXPECT_EQ(held.TakeLateWriteCount(), 3U);
    {
        const auto answer = stall(300ms);
        waiter.WriteAll("de", 5s);
    }
    EXPECT_EQ(Sent(0), "xyzabcde") << "each write once";
    EXPECT_EQ(std::count(told.begin(), told.end(), quelta::Stall::Began), 1);
    EXPECT_TRUE(!told.empty() && told.back() == quelta::Stall::Ended);
}

TEST_F(Device, ClientHoldingTheDeviceIsBusyUntilItDies) {
    const quelta::Device opener("Serial0");
    quelta::Device port("Serial0", {.mode = OpenMode::Attach, .replyTimeout = 100ms});
    testsupport::ChildProcess peer(QUELTA_PEER_PATH, {"hold", "Serial0"});
    ASSERT_TRUE(peer.WaitForOutput("holding")) << peer.Err();
    EXPECT_EQ(Thrown([&] { port.GetLineErrors(); }).Code(), ErrorCode::DeviceBusy);
    peer.Kill();
    Arrive(0, "kept");  // attaching to the opened port keeps it as it is
    EXPECT_EQ(quelta::Device("Serial0", {.mode = OpenMode::AttachOrReset}).GetRxCount(), 4U);
}

// A port closed through the library is opened again by the next client rather than joined
// closed (interrupts off, DTR and RTS down), where it would receive nothing.
TEST_F(LiveServer, AttachAfterACloseOpensThePortAgain) {
    quelta::Device first("Serial1");
    first.ClosePort();
    PortTable[1]->rxCount = 77;  // a SerialOpen empties the rings
    EXPECT_THROW(quelta::Device("Serial1", {.mode = quelta::OpenMode::Attach}), quelta::Error);
    quelta::Device again("Serial1", {.mode = quelta::OpenMode::AttachOrReset});
    EXPECT_TRUE(again.WasReset());
    EXPECT_EQ(PortTable[1]->rxCount, 0u);
    quelta::Device joined("Serial1", {.mode = quelta::OpenMode::Attach});
    EXPECT_FALSE(joined.WasReset());
}

// Settings reach the driver only when they differ from those in force (each configuration
// resets the UART's FIFOs, losing what they hold), and only once the line has sent what was
// handed over before, as tcsetattr's TCSADRAIN. A line that does not drain in the time its bytes
// need gets TimedOut with nothing applied, unless the change is asked for at once.
TEST_F(Device, ConfigureSendsOnlyAChangeOnceTheLineHasDrained) {
    quelta::Device port("Serial0");
    std::vector<std::uint32_t> queuedAtConfig;  // the ring's count at each configuration sent
    std::optional<Wire> slowLine(std::in_place, 0, 1, 0, 4, 5ms);
    testsupport::Script({{}, {}, false, [&](const RequestPart& part, const std::uint8_t*) {
                             if (part.requestCode == SerialSetConfig) {
                                 queuedAtConfig.push_back(PortTable[0]->txCount.load());
                             }
                         }});
    port.Configure({});  // after an open the port is not configured: its interrupts are off
    port.Configure({});
    EXPECT_EQ(queuedAtConfig, std::vector<std::uint32_t>{0}) << "the same settings again";
    port.WriteAll(std::string(16, 'a'), 1s);
    port.Configure({.baudRate = 19200});
    EXPECT_EQ(queuedAtConfig, (std::vector<std::uint32_t>{0, 0})) << "sent once drained";

    slowLine.reset();  // a line that sends nothing
    port.WriteAll(std::string(16, 'b'), 1s);
    EXPECT_EQ(Thrown([&] { port.Configure({.baudRate = 38400}); }).Code(), ErrorCode::TimedOut);
    EXPECT_EQ(PortTable[0]->config.baudRate, 19200) << "nothing applied";
    port.Configure({.baudRate = 38400}, quelta::Apply::Now);
    EXPECT_EQ(PortTable[0]->config.baudRate, 38400);

    // Drain waits for the ring (Events.EachKindWakesItsWaiter) and then for the transmitter.
    port.Flush(quelta::FlushSide::Transmit);
    regs_.Set(LSR, Lsr::ThrEmpty);
    EXPECT_EQ(Thrown([&] { port.Drain(50ms); }).Code(), ErrorCode::TimedOut);
    regs_.Set(LSR, Lsr::ThrEmpty | Lsr::TxEmpty);
    EXPECT_TRUE(port.GetTransmitState().Idle());

    port.ClosePort();  // its interrupts off: the settings in force must go out again
    port.Configure({.baudRate = 38400});
    EXPECT_EQ(regs_.Latch(IER), Ier::All);
}

// Every open holds a claim, as opens of a tty under TIOCEXCL: shared ones coexist, an exclusive
// one is refused while any other is held, naming the holders, and keeps every other open out.
TEST_F(Device, ClaimsAreSharedOrExclusive) {
    const std::string self = std::to_string(getpid());
    {
        testsupport::ChildProcess peer(QUELTA_PEER_PATH, {"open", "Serial0"});
        ASSERT_TRUE(peer.WaitForOutput("open\n")) << peer.Out() << peer.Err();
        const quelta::Device shared("Serial0", {.mode = OpenMode::Attach});
        const std::string refusal =
            Thrown([] {
                quelta::Device("Serial0", {.mode = OpenMode::Attach, .exclusive = true});
            }).what();
        EXPECT_TRUE(refusal.starts_with("Serial0: busy: held by PIDs ") &&
                    refusal.find(std::to_string(peer.Pid())) != std::string::npos &&
                    refusal.find(self) != std::string::npos)
            << refusal;
    }
    const quelta::Device only("Serial0", {.mode = OpenMode::Attach, .exclusive = true});
    EXPECT_STREQ(Thrown([] { quelta::Device("Serial0", {.mode = OpenMode::Attach}); }).what(),
                 ("Serial0: busy: held by PID " + self).c_str());
}

// The claim follows no link and makes no file. Another user's links at the claim's old path and
// in place of the device's mutex object leave their target as it was, and that user's lock on a
// file at the old path keeps nobody out.
TEST_F(Device, TheClaimCannotBeTurnedAgainstItsUser) {
    const std::string target = testing::TempDir() + "claim-target-" + std::to_string(getpid());
    std::ofstream(target) << "secret";
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    const auto untouched = [&] {
        struct stat info {};
        std::ifstream in(target);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        return stat(target.c_str(), &info) == 0 && (info.st_mode & 07777) == 0600 &&
               text == "secret";
    };
    const auto asNobody = [](std::vector<std::string> command) {
        command.insert(command.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups"});
        return std::make_unique<testsupport::ChildProcess>("/usr/bin/setpriv", command);
    };
    const std::string oldPath = "/dev/shm" + quelta::PosixObjectName(FullName(0) + ".lock");
    const std::string mutexPath = "/dev/shm" + quelta::PosixObjectName(FullName(0));
    ASSERT_EQ(asNobody({"ln", "-s", target, oldPath})->Wait(), 0);
    EXPECT_NO_THROW(quelta::Device("Serial0", {.exclusive = true}));
    EXPECT_TRUE(untouched());
    unlink(oldPath.c_str());
    const auto locker = asNobody({"flock", "-n", oldPath, "-c", "echo locked; sleep 30"});
    ASSERT_TRUE(locker->WaitForOutput("locked")) << locker->Err();
    EXPECT_NO_THROW(quelta::Device("Serial0", {.exclusive = true}));
    locker->Kill();
    unlink(oldPath.c_str());
    ASSERT_EQ(rename(mutexPath.c_str(), (mutexPath + ".aside").c_str()), 0);
    ASSERT_EQ(asNobody({"ln", "-s", target, mutexPath})->Wait(), 0);
    EXPECT_STRNE(Thrown([] { quelta::Device("Serial0", {.exclusive = true}); }).what(), "none");
    EXPECT_TRUE(untouched());
    unlink(mutexPath.c_str());
    rename((mutexPath + ".aside").c_str(), mutexPath.c_str());
    unlink(target.c_str());
}

}  // namespace
