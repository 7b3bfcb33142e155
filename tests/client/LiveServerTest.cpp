// The library and the tool against the driver's own request path: device channels with
// DispatchRequest, over ports of the scripted register fake, served by threads of this process;
// the tool runs as a separate client process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "client/Device.h"
#include "hw/BoardClock.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"
#include "tests/client/ToolProcess.h"
#include "tests/server/support/ChannelUnderTest.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

namespace {

using namespace std::chrono_literals;
using clienttest::Quelta;
using quelta::Device;
using quelta::ErrorCode;

constexpr std::uint8_t PortCount = 2;

class LiveServer : public testing::Test {
protected:
    void SetUp() override {
        for (std::uint8_t i = 0; i < PortCount; ++i) {
            ports_.Add(i, regs_.Window(i));
            regs_.Set(LSR, 0x60, i);
            std::snprintf(DeviceNameTable[i].deviceName, DeviceNameSize,
                          "\\RtDevice\\Quelta\\Serial%u", static_cast<unsigned>(i));
            DeviceNameTable[i].portIndex = i;
        }
        // A name whose record points at a channel the board does not have.
        std::snprintf(DeviceNameTable[5].deviceName, DeviceNameSize, "\\RtDevice\\Quelta\\Serial5");
        DeviceNameTable[5].portIndex = 5;
        boardClockHz = 14'745'600;
        for (const char* name : {"Serial0", "Serial1", "Serial5"}) {
            channels_.push_back(std::make_unique<servertest::ChannelUnderTest>(
                std::string("\\RtDevice\\Quelta\\") + name, DispatchRequest));
            ASSERT_NE(channels_.back()->Get(), nullptr) << name;
        }
    }

    void TearDown() override {
        channels_.clear();
        std::memset(DeviceNameTable, 0, sizeof DeviceNameTable);
        boardClockHz = 0;
    }

    // What the receive service would have put into the ring.
    void Arrive(std::uint8_t portIndex, const std::string& bytes) {
        PortRecord& port = *PortTable[portIndex];
        for (const char byte : bytes) {
            port.rxRing[port.rxHead] = static_cast<std::uint8_t>(byte);
            port.rxHead = (port.rxHead + 1) % RingSize;
        }
        port.rxCount += static_cast<std::uint32_t>(bytes.size());
    }

    std::string Sent(std::uint8_t portIndex) {
        const PortRecord& port = *PortTable[portIndex];
        std::string bytes;
        for (std::uint32_t i = 0; i < port.txCount; ++i) {
            bytes += static_cast<char>(port.txRing[(port.txTail + i) % RingSize]);
        }
        return bytes;
    }

    fake::ScriptedRegisters regs_;
    fake::TestPorts ports_;
    std::vector<std::unique_ptr<servertest::ChannelUnderTest>> channels_;
};

TEST_F(LiveServer, RequestsReachTheirPort) {
    Device port("Serial1");
    EXPECT_EQ(port.PortIndex(), 1);
    quelta::LineSettings settings;
    settings.baudRate = 115200;
    settings.dataBits = 7;
    settings.parity = quelta::Parity::Even;
    port.Configure(settings);
    EXPECT_EQ(PortTable[1]->config.baudRate, 115200);
    EXPECT_EQ(regs_.Latch(LCR, 1), 0x1A) << "7E1";
    port.SetDtr(true);
    port.SetRts(true);
    const quelta::ModemControl control = port.GetModemControl();
    EXPECT_TRUE(control.dtr && control.rts);
    port.SetRts(false);
    EXPECT_FALSE(port.GetModemControl().rts);
    regs_.Set(MSR, 0xB0, 1);
    EXPECT_TRUE(port.GetModemStatus().dcd);
    EXPECT_TRUE(port.GetLineStatus().transmitterEmpty);
    PortTable[1]->lineErrors = 0x08;
    EXPECT_TRUE(port.GetLineErrors().framingError);
    EXPECT_EQ(regs_.Latch(MCR, 0) & 0x03, 0) << "port 0 untouched";

    Arrive(1, "hello");
    EXPECT_EQ(port.GetRxCount(), 5U);
    std::vector<std::uint8_t> buffer(5);
    port.ReadExact(buffer, 1s);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "hello");
    EXPECT_EQ(port.GetRxCount(), 0U);
    port.WriteAll("world", 1s);
    EXPECT_EQ(Sent(1), "world");
}

TEST_F(LiveServer, FullTransmitRingStopsWriteAll) {
    Device port("Serial0");
    const std::vector<std::uint8_t> data(RingSize + 100, 0x5A);
    try {
        port.WriteAll(data, 50ms);
        ADD_FAILURE() << "no time-out";
    } catch (const quelta::Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::TimedOut);
        EXPECT_EQ(error.Transferred(), RingSize);
    }
}

TEST_F(LiveServer, RefusedConfigurationAndMissingPort) {
    Device port("Serial0");
    quelta::LineSettings slow;
    slow.baudRate = 1;
    try {
        port.Configure(slow);
        ADD_FAILURE() << "accepted";
    } catch (const quelta::Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::ConfigRefused);
    }
    try {
        Device missing("Serial5");
        ADD_FAILURE() << "opened";
    } catch (const quelta::Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::InvalidPort);
    }
}

// A port closed through the library is opened again by the next client rather than joined
// closed (interrupts off, DTR and RTS down), where it would receive nothing.
TEST_F(LiveServer, AttachAfterACloseOpensThePortAgain) {
    Device first("Serial1");
    first.ClosePort();
    PortTable[1]->rxCount = 77;  // a SerialOpen empties the rings
    EXPECT_THROW(Device("Serial1", {.mode = quelta::OpenMode::Attach}), quelta::Error);
    Device again("Serial1", {.mode = quelta::OpenMode::AttachOrReset});
    EXPECT_TRUE(again.WasReset());
    EXPECT_EQ(PortTable[1]->rxCount, 0u);
    Device joined("Serial1", {.mode = quelta::OpenMode::Attach});
    EXPECT_FALSE(joined.WasReset());
}

TEST_F(LiveServer, StoppedServiceIsNotAnsweringWithoutAHang) {
    Device port("Serial0", {.replyTimeout = 2s});
    ASSERT_TRUE(channels_[0]->Call(ChannelStop));
    channels_[0]->ServiceEnded();
    Device attached("Serial0", {.mode = quelta::OpenMode::Attach, .replyTimeout = 100ms});
    try {
        attached.GetLineErrors();
        ADD_FAILURE() << "answered";
    } catch (const quelta::Error& error) {
        EXPECT_EQ(error.Code(), ErrorCode::NotAnswering);
    }
}

// The commands users run, each a separate process, against the driver's request path.
TEST_F(LiveServer, ToolSequenceAcrossInvocations) {
    EXPECT_EQ(Quelta({"config", "Serial0", "115200", "8N1"}).exitCode, 0);
    EXPECT_EQ(Quelta({"config", "Serial1", "115200", "8N1"}).exitCode, 0);
    const clienttest::ToolRun send = Quelta({"send", "Serial0", "hello"});
    EXPECT_EQ(send.exitCode, 0) << send.err;
    EXPECT_EQ(Sent(0), "hello");
    Arrive(1, Sent(0));
    const clienttest::ToolRun recv = Quelta({"recv", "Serial1", "--count", "5", "--timeout", "2"});
    EXPECT_EQ(recv.exitCode, 0) << recv.err;
    EXPECT_EQ(recv.out, "hello");
    const clienttest::ToolRun status = Quelta({"status", "Serial0", "--json"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("\"transmitterEmpty\": true"), std::string::npos) << status.out;
    EXPECT_EQ(PortTable[1]->config.baudRate, 115200) << "a later invocation reset the port";
    const clienttest::ToolRun missing = Quelta({"status", "Serial5"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("status 87"), std::string::npos) << missing.err;
}

}  // namespace
