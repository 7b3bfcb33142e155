// The library against the fake driver side: what each request puts on the wire, what comes back,
// and the errors a client must see instead of a hang or a wrong answer.
#include "client/Device.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <numeric>

#include "client/SharedObjects.h"
#include "platform/host/PosixNames.h"
#include "tests/client/FakeDriver.h"

namespace {

using namespace std::chrono_literals;
using quelta::Device;
using quelta::ErrorCode;
using quelta::OpenMode;

// Short reply limit for the tests that wait on a silent driver.
constexpr std::chrono::milliseconds ShortLimit{100};

ErrorCode CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const quelta::Error& error) {
        return error.Code();
    }
    ADD_FAILURE() << "no error";
    return ErrorCode::SystemError;
}

std::vector<std::uint32_t> Requests(fake::FakeDriver& driver, int port) {
    std::vector<std::uint32_t> requests;
    driver.WithPort(port, [&](fake::PortModel& model) { requests = model.requests; });
    return requests;
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return bytes;
}

TEST(Device, OpenSendsSerialOpenAndUsesTheReportedPort) {
    fake::FakeDriver driver({{"Serial0", 0, true}, {"Serial5", 1, true}}, 2);
    Device port("Serial5");
    EXPECT_EQ(port.Name(), "\\RtDevice\\Quelta\\Serial5");
    EXPECT_EQ(port.PortIndex(), 1);
    EXPECT_TRUE(port.WasReset());
    EXPECT_EQ(port.DataAreaSize(), DefaultDataAreaSize);
    port.SetDtr(true);
    EXPECT_EQ(Requests(driver, 1), (std::vector<std::uint32_t>{SerialOpen, SerialSetDtr}));
    EXPECT_TRUE(Requests(driver, 0).empty());
}

TEST(Device, FullNameOpensTheSameDevice) {
    fake::FakeDriver driver(1);
    Device port("\\RtDevice\\Quelta\\Serial0");
    EXPECT_EQ(port.PortIndex(), 0);
}

TEST(Device, AttachKeepsThePortAsTheLastOpenLeftIt) {
    fake::FakeDriver driver(2);
    EXPECT_EQ(CodeOf([] { Device("Serial1", {.mode = OpenMode::Attach}); }), ErrorCode::NotOpened);
    { Device first("Serial1", {.mode = OpenMode::AttachOrReset}); EXPECT_TRUE(first.WasReset()); }
    Device second("Serial1", {.mode = OpenMode::AttachOrReset});
    Device third("Serial1", {.mode = OpenMode::Attach});
    EXPECT_FALSE(second.WasReset());
    EXPECT_FALSE(third.WasReset());
    EXPECT_EQ(third.PortIndex(), 1);
    int opens = 0;
    driver.WithPort(1, [&](fake::PortModel& model) { opens = model.opens; });
    EXPECT_EQ(opens, 1);
    Device reset("Serial1");
    driver.WithPort(1, [&](fake::PortModel& model) { opens = model.opens; });
    EXPECT_EQ(opens, 2);
}

TEST(Device, AttachRefusesABlockWithoutTheOpenedMark) {
    fake::FakeDriver driver(2);
    // A fresh block may hold anything: a stray port index must not pass for an opened port.
    driver.Block(1)->request.portIndex = 0;
    EXPECT_EQ(CodeOf([] { Device("Serial1", {.mode = OpenMode::Attach}); }), ErrorCode::NotOpened);
}

TEST(Device, EveryRequestCarriesThePortLearntAtOpen) {
    fake::FakeDriver driver(2);
    Device port("Serial1");
    // Another client scribbles over the block's port index between requests.
    driver.Block(1)->request.portIndex = 0;
    port.SetRts(true);
    EXPECT_EQ(Requests(driver, 1).back(), SerialSetRts);
    EXPECT_TRUE(Requests(driver, 0).empty());
}

TEST(Device, WriteAndReadMoveBytesThroughTheBlock) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    const std::vector<std::uint8_t> data = Pattern(20000);  // three requests' worth
    EXPECT_EQ(port.Write(data), data.size());
    driver.WithPort(0, [&](fake::PortModel& model) {
        EXPECT_EQ(model.sent, data);
        model.received.assign(data.begin(), data.end());
    });
    std::vector<std::uint8_t> back(25000);
    EXPECT_EQ(port.Read(back), data.size());
    back.resize(data.size());
    EXPECT_EQ(back, data);
    std::vector<std::uint8_t> none(10);
    EXPECT_EQ(port.Read(none), 0U);
}

TEST(Device, WriteReportsWhatAFullRingTook) {
    fake::FakeDriver driver(1);
    driver.WithPort(0, [](fake::PortModel& model) { model.sendRoom = 100; });
    Device port("Serial0");
    EXPECT_EQ(port.Write(Pattern(300)), 100U);
    EXPECT_EQ(port.Write(Pattern(300)), 0U);
}

TEST(Device, WriteAllAndReadExactReportPartialTransfersOnTimeOut) {
    fake::FakeDriver driver(1);
    Device port("Serial0");  // opening empties the rings
    driver.WithPort(0, [](fake::PortModel& model) {
        model.sendRoom = 10;
        model.received = {1, 2, 3};
    });
    try {
        port.WriteAll(Pattern(50), 30ms);
        ADD_FAILURE() << "no time-out";
    } catch (const quelta::Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::TimedOut);
        EXPECT_EQ(error.Transferred(), 10U);
    }
    std::vector<std::uint8_t> buffer(5);
    try {
        port.ReadExact(buffer, 30ms);
        ADD_FAILURE() << "no time-out";
    } catch (const quelta::Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::TimedOut);
        EXPECT_EQ(error.Transferred(), 3U);
        EXPECT_EQ(buffer[2], 3);
    }
    EXPECT_EQ(port.ReadSome(buffer, 20ms), 0U);
}

TEST(Device, ReadExactCollectsBytesAsTheyArrive) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    std::thread feeder([&] {
        for (std::uint8_t i = 0; i < 6; ++i) {
            std::this_thread::sleep_for(2ms);
            driver.WithPort(0, [&](fake::PortModel& model) { model.received.push_back(i); });
        }
    });
    std::vector<std::uint8_t> buffer(6);
    port.ReadExact(buffer, 5s);
    feeder.join();
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5}));
}

TEST(Device, ConfigureSendsTheWireRecord) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    quelta::LineSettings settings;
    settings.baudRate = 115200;
    settings.dataBits = 7;
    settings.parity = quelta::Parity::Odd;
    settings.flowControl = quelta::HardwareFlow::RtsCts;
    port.Configure(settings);
    LineConfig sent{};
    driver.WithPort(0, [&](fake::PortModel& model) { sent = model.config; });
    const LineConfig expected = settings.ToWire();
    EXPECT_EQ(std::memcmp(&sent, &expected, sizeof sent), 0);
}

TEST(Device, ConfigurationRefusedByTheDriverOrBeforeSending) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    quelta::LineSettings slow;
    slow.baudRate = fake::FakeMinimumBaud - 1;
    EXPECT_EQ(CodeOf([&] { port.Configure(slow); }), ErrorCode::ConfigRefused);
    EXPECT_EQ(Requests(driver, 0).back(), SerialSetConfig);

    // A word format the driver refuses only after it has reset the FIFOs never reaches it.
    quelta::LineSettings bad;
    bad.dataBits = 5;
    bad.stopBits = quelta::StopBits::Two;
    const std::size_t before = Requests(driver, 0).size();
    EXPECT_EQ(CodeOf([&] { port.Configure(bad); }), ErrorCode::ConfigRefused);
    EXPECT_EQ(Requests(driver, 0).size(), before);
}

TEST(Device, SignalRequestsUseTheirCodes) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    port.SetDtr(true);
    port.SetDtr(false);
    port.SetRts(true);
    port.SetRts(false);
    port.SetBreak(true);
    port.SetBreak(false);
    port.ClosePort();
    const std::vector<std::uint32_t> expected = {
        SerialOpen,     SerialSetDtr,   SerialClearDtr,   SerialSetRts,
        SerialClearRts, SerialSetBreak, SerialClearBreak, SerialClose};
    EXPECT_EQ(Requests(driver, 0), expected);
}

TEST(Device, StatusReadsComeBackTyped) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    driver.WithPort(0, [](fake::PortModel& model) {
        model.msr = 0xB1;
        model.lsr = 0x63;
        model.lineErrors = 0x0C;
        model.received.assign(300, 0x55);
    });
    port.SetDtr(true);
    const quelta::ModemStatus modem = port.GetModemStatus();
    EXPECT_EQ(modem.raw, 0xB1);
    EXPECT_TRUE(modem.cts && modem.dsr && modem.dcd && modem.ctsChanged);
    EXPECT_EQ(port.GetLineStatus().raw, 0x63);
    EXPECT_TRUE(port.GetLineStatus().dataReady);  // the error bits were cleared by the read
    const quelta::ModemControl control = port.GetModemControl();
    EXPECT_TRUE(control.dtr);
    EXPECT_FALSE(control.rts);
    EXPECT_EQ(port.GetLineErrors().raw, 0x0C);
    EXPECT_EQ(port.GetRxCount(), 300U);
}

TEST(Device, NoSuchDevice) {
    fake::FakeDriver driver(1);
    EXPECT_EQ(CodeOf([] { Device("Serial7"); }), ErrorCode::NoSuchDevice);
}

TEST(Device, DriverWithoutAPortForTheNameIsNoSuchDevice) {
    fake::FakeDriver driver({{"Serial9", -1, true}}, 1);
    EXPECT_EQ(CodeOf([] { Device("Serial9"); }), ErrorCode::NoSuchDevice);
}

TEST(Device, PortTheDriverDoesNotHaveIsInvalidPort) {
    fake::FakeDriver driver({{"Serial3", 3, true}}, 2);
    Device port("Serial3");
    EXPECT_EQ(CodeOf([&] { port.GetLineErrors(); }), ErrorCode::InvalidPort);
}

TEST(Device, UnknownRequestStatusIsNotImplemented) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    driver.ForceStatus(RequestNotImplemented);
    EXPECT_EQ(CodeOf([&] { port.GetModemStatus(); }), ErrorCode::NotImplemented);
    driver.ForceStatus(5);
    EXPECT_EQ(CodeOf([&] { port.SetDtr(true); }), ErrorCode::ProtocolError);
}

TEST(Device, ImpossibleCountsAreRefusedNotCopied) {
    fake::FakeDriver driver(1);
    Device port("Serial0");
    driver.ForceResultCount(9000);
    std::vector<std::uint8_t> small(16, 0xEE);
    EXPECT_EQ(CodeOf([&] { port.Read(small); }), ErrorCode::ProtocolError);
    EXPECT_EQ(small, std::vector<std::uint8_t>(16, 0xEE));
    EXPECT_EQ(CodeOf([&] { port.Write(small); }), ErrorCode::ProtocolError);
    EXPECT_EQ(CodeOf([&] { port.GetRxCount(); }), ErrorCode::ProtocolError);
    EXPECT_EQ(CodeOf([&] { port.GetLineErrors(); }), ErrorCode::ProtocolError);
}

TEST(Device, DriverThatTakesNothingIsNotAnsweringAndTheHandleStaysUsable) {
    fake::FakeDriver driver({{"Serial0", 0, false}}, 1);
    EXPECT_EQ(CodeOf([] { Device("Serial0", {.replyTimeout = ShortLimit}); }),
              ErrorCode::NotAnswering);
    // The withdrawn request left nothing behind for the driver to find later.
    int value = -1;
    sem_t* requests = sem_open(posix_names::ObjectName("\\RtDevice\\Quelta\\Serial0.s1").c_str(), 0);
    ASSERT_NE(requests, SEM_FAILED);
    sem_getvalue(requests, &value);
    sem_close(requests);
    EXPECT_EQ(value, 0);
}

TEST(Device, TakenButUnansweredRequestRetiresTheHandleAndTheLateReplyIsDiscarded) {
    fake::FakeDriver driver(1);
    { Device opener("Serial0"); }
    // Only the requests meant to go unanswered get the short limit: a loaded machine may take
    // longer than that to answer the others.
    Device port("Serial0", {.mode = OpenMode::Attach, .replyTimeout = ShortLimit});
    driver.SetService(fake::Service::TakeNoAnswer);
    EXPECT_EQ(CodeOf([&] { port.GetRxCount(); }), ErrorCode::NotAnswering);
    EXPECT_EQ(CodeOf([&] { port.GetLineErrors(); }), ErrorCode::NotAnswering);

    // The late reply arrives; the next client must get its own answer, not that one.
    driver.SetService(fake::Service::Answer);
    driver.ReleaseHeldReplies();
    driver.WithPort(0, [](fake::PortModel& model) { model.lineErrors = 0x08; });
    Device next("Serial0", {.mode = OpenMode::Attach});
    EXPECT_EQ(next.GetLineErrors().raw, 0x08);
    EXPECT_EQ(Requests(driver, 0).back(), SerialGetLineErrors);
}

TEST(Device, AnotherClientHoldingTheDeviceTooLongIsDeviceBusy) {
    fake::FakeDriver driver(1);
    Device patient("Serial0");
    Device port("Serial0", {.mode = OpenMode::Attach, .replyTimeout = ShortLimit});
    quelta::DeviceMutex other(posix_names::ObjectName("\\RtDevice\\Quelta\\Serial0"));
    std::promise<void> held;
    std::promise<void> done;
    std::thread holder([&] {
        ASSERT_EQ(other.Lock(quelta::Clock::now() + 1s), quelta::LockResult::Locked);
        held.set_value();
        done.get_future().wait();
        other.Unlock();
    });
    held.get_future().wait();
    EXPECT_EQ(CodeOf([&] { port.GetLineErrors(); }), ErrorCode::DeviceBusy);
    done.set_value();
    holder.join();
    EXPECT_NO_THROW(patient.GetLineErrors());
}

TEST(Device, ClientDeadInsideARequestDoesNotBlockOrConfuseTheNext) {
    fake::FakeDriver driver(1);
    { Device first("Serial0"); }
    driver.WithPort(0, [](fake::PortModel& model) { model.lineErrors = 0x10; });
    const pid_t child = fork();
    if (child == 0) {
        // Takes the mutex, leaves a request with the driver and dies before its reply.
        quelta::DeviceMutex mutex(posix_names::ObjectName("\\RtDevice\\Quelta\\Serial0"));
        mutex.Lock(quelta::Clock::now() + 1s);
        driver.Block(0)->request.requestCode = SerialGetRxCount;
        sem_t* requests = sem_open(posix_names::ObjectName("\\RtDevice\\Quelta\\Serial0.s1").c_str(), 0);
        sem_post(requests);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    Device next("Serial0", {.mode = OpenMode::Attach, .replyTimeout = 1s});
    EXPECT_EQ(next.GetLineErrors().raw, 0x10);
    EXPECT_EQ(next.GetRxCount(), 0U);
}

}  // namespace
