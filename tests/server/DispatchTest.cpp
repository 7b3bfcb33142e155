// The request dispatch over ports on the scripted register fake: the table of codes, what each
// request leaves alone, SerialOpen's lookup by the channel's own name, and the mended faults
// (no port behind portIndex, an oversized dataLength, fields rewritten by the client mid-request).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hw/BoardClock.h"
#include "platform/Rtss.h"
#include "port/PortRecord.h"
#include "port/PortReport.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"
#include "tests/support/LineBuilder.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"
#include "wire/ExtensionRecords.h"

namespace {

using testsupport::Line;

constexpr std::uint32_t BoardClock = 14'745'600;
constexpr std::uint32_t BoardPorts = 4;   // a 4-channel board: indexes 4 to 7 have no record
constexpr std::uint32_t GuardBytes = 64;  // after the data area, never to be written
constexpr std::uint32_t Untouched = 0xCAFEBABE;

std::string DeviceName(int number) {
    char name[DeviceNameSize];
    std::snprintf(name, sizeof name, "\\RtDevice\\Quelta\\Serial%d", number);
    return name;
}

// The records board set-up writes for a board whose names start at portBase.
void FillNameTable(int portBase, std::uint32_t channels = BoardPorts) {
    for (std::uint32_t i = 0; i < channels; ++i) {
        std::snprintf(DeviceNameTable[i].deviceName, DeviceNameSize, "%s",
                      DeviceName(portBase + static_cast<int>(i)).c_str());
        DeviceNameTable[i].portIndex = static_cast<std::uint8_t>(i);
    }
}

class Dispatch : public ::testing::Test {
protected:
    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
    std::vector<std::uint8_t> memory =
        std::vector<std::uint8_t>(RequestBlockOverhead + DefaultDataAreaSize + GuardBytes, 0xEE);
    RequestBlock* block = reinterpret_cast<RequestBlock*>(memory.data());
    RequestPart& request = block->request;
    std::string ownName;
    ChannelView view{};

    void SetUp() override {
        boardClockHz = BoardClock;
        for (std::uint32_t i = 0; i < BoardPorts; ++i) {
            ports.Add(static_cast<std::uint8_t>(i), regs.Window(i));
        }
        FillNameTable(0);
        UseChannel(DeviceName(1), DefaultDataAreaSize);
        request.portIndex = 1;
        request.resultCount = Untouched;
    }
    void TearDown() override {
        std::memset(DeviceNameTable, 0, sizeof DeviceNameTable);
        boardClockHz = 0;
    }

    void UseChannel(const std::string& name, std::uint32_t dataAreaSize) {
        ownName = name;
        view = {ownName.data(), static_cast<std::uint32_t>(ownName.size()), DataArea(block),
                dataAreaSize};
    }
    std::uint8_t* Data() { return DataArea(block); }
    PortRecord& Port(std::uint8_t index) { return *PortTable[index]; }

    std::uint32_t Send(std::uint32_t code) {
        request.requestCode = code;
        return DispatchRequest(&request, &view);
    }
};

// Every request of the table answers 0 on a set-up port, and only those that give a result set
// resultCount. A code without a request answers 120, a portIndex without a port 87: the block
// stays as it was and no port operation is reached.
TEST_F(Dispatch, TheTableOfRequests) {
    struct Row {
        std::uint32_t code;
        bool setsResult;
    };
    // clang-format off
    const Row rows[] = {
        {SerialOpen, false},          {SerialClose, false},         {SerialRead, true},
        {SerialWrite, true},          {SerialSetConfig, true},      {SerialSetRts, false},
        {SerialClearRts, false},      {SerialSetDtr, false},        {SerialClearDtr, false},
        {SerialGetModemStatus, true}, {SerialGetLineStatus, true},  {SerialGetModemControl, true},
        {SerialSetBreak, false},      {SerialClearBreak, false},    {SerialGetLineErrors, true},
        {SerialGetRxCount, true},     {SerialGetConfig, true},      {SerialGetErrorCounts, true},
        {SerialFlush, true},          {SerialGetTransmitState, true}, {SerialSetReceiveTrigger, true},
    };
    // clang-format on
    for (const Row& row : rows) {
        request.resultCount = Untouched;
        request.dataLength = 0;
        EXPECT_EQ(Send(row.code), RequestDone) << row.code;
        EXPECT_EQ(request.resultCount != Untouched, row.setsResult) << row.code;
        EXPECT_EQ(request.portIndex, 1u) << row.code;
    }
    regs.ClearLog();
    std::vector<std::uint32_t> codes = {0xFF, 0x100, 0x101, 0x102, 0x103, 0x104, 0x105};
    for (std::uint32_t code = 0; code <= SerialGetRxCount + 1; ++code) codes.push_back(code);
    for (const std::uint8_t index : {std::uint8_t{1}, std::uint8_t{4}, std::uint8_t{255}}) {
        for (const std::uint32_t code : codes) {
            const bool request120 =
                code == 0 || code == 5 || (code > SerialGetRxCount && code < 0x100) || code > 0x104;
            if (code == SerialOpen || (index == 1 && !request120)) continue;
            request.portIndex = index;
            request.dataLength = 16;
            request.requestCode = code;
            const std::vector<std::uint8_t> before = memory;
            EXPECT_EQ(DispatchRequest(&request, &view),
                      request120 ? RequestNotImplemented : RequestInvalidPort)
                << "code " << code << " port " << +index;
            EXPECT_EQ(memory, before) << "code " << code << " port " << +index;
        }
    }
    for (const std::uint32_t code : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(Send(code), RequestNotImplemented) << code;
    }
    EXPECT_TRUE(regs.Log().empty());
}

// Each channel finds its own port by its own name, wherever the numbering starts, whatever a
// client has written over nameAddress and nameLength, and opens only that port.
TEST_F(Dispatch, OpenFindsTheChannelsPortByItsOwnName) {
    for (const int portBase : {0, 8, 250}) {
        FillNameTable(portBase);
        for (std::uint8_t channel = 0; channel < BoardPorts; ++channel) {
            UseChannel(DeviceName(portBase + channel), DefaultDataAreaSize);
            request.nameAddress = 0xFFFFFFF0;
            request.nameLength = 3;
            request.portIndex = 7;
            request.resultCount = Untouched;
            regs.ClearLog();
            EXPECT_EQ(Send(SerialOpen), RequestDone);
            EXPECT_EQ(request.portIndex, channel);
            EXPECT_EQ(request.resultCount, Untouched);
            const std::vector<fake::Access> accesses = regs.Log();
            EXPECT_FALSE(accesses.empty()) << "the port was opened";
            for (const fake::Access& access : accesses) {
                EXPECT_EQ(access.offset / ChannelWindowSize, channel) << "only its own channel";
            }
        }
    }
}

// A name no port has is reported and changes nothing of the block (an overlong own name is cut
// to the lookup buffer); a named channel whose port set-up never made is refused with 87.
TEST_F(Dispatch, OpenWithoutAPortForTheName) {
    FillNameTable(0, 6);  // names for channels 4 and 5, which have no record
    const std::pair<std::string, std::string> unknown[] = {
        {DeviceName(9), DeviceName(9)},
        {std::string(300, 'x'), std::string(DeviceNameSize - 1, 'x')}};
    for (const auto& [name, printed] : unknown) {
        UseChannel(name, DefaultDataAreaSize);
        request.requestCode = SerialOpen;
        const std::vector<std::uint8_t> before = memory;
        SetLastError(0);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(DispatchRequest(&request, &view), RequestDone);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "Driver name " + printed + " does not exist.\n");
        EXPECT_EQ(GetLastError(), RtError::InvalidParameter);
        EXPECT_EQ(memory, before) << "portIndex and resultCount stay";
    }
    UseChannel(DeviceName(5), DefaultDataAreaSize);
    EXPECT_EQ(Send(SerialOpen), RequestInvalidPort);
    EXPECT_EQ(request.portIndex, 1u);
    EXPECT_TRUE(regs.Log().empty());
}

// Reads and writes move the bytes of the data area and never more than it holds, whatever
// dataLength says.
TEST_F(Dispatch, ReadAndWriteMoveTheDataAreaAndNoMore) {
    fake::Receive(Port(1), 100);
    request.dataLength = 30;
    EXPECT_EQ(Send(SerialRead), RequestDone);
    EXPECT_EQ(request.resultCount, 30u);
    EXPECT_EQ(Data()[29], 29);
    EXPECT_EQ(Data()[30], 0xEE);
    UseChannel(DeviceName(1), 64);
    request.dataLength = 1000;
    EXPECT_EQ(Send(SerialRead), RequestDone);
    EXPECT_EQ(request.resultCount, 64u);
    EXPECT_EQ(Data()[63], 93);
    EXPECT_EQ(Data()[64], 0xEE) << "nothing past the data area";
    EXPECT_EQ(Port(1).rxCount, 6u);

    std::memcpy(Data(), "hello", 5);
    request.dataLength = 100000;
    EXPECT_EQ(Send(SerialWrite), RequestDone);
    EXPECT_EQ(request.resultCount, 64u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Port(1).txRing), 5), "hello");
}

TEST_F(Dispatch, SetConfigTakesTheRecordWhateverDataLengthSays) {
    for (const std::uint32_t length : {0u, 3u, 0xFFFFFFFFu}) {
        const LineConfig config = Line();
        std::memcpy(Data(), &config, sizeof config);
        request.dataLength = length;
        request.resultCount = Untouched;
        EXPECT_EQ(Send(SerialSetConfig), RequestDone);
        EXPECT_EQ(request.resultCount, 1u) << "dataLength " << length;
        EXPECT_EQ(Port(1).config.baudRate, 115200);
    }
    const LineConfig refused = Line({.baudRate = 0});
    std::memcpy(Data(), &refused, sizeof refused);
    EXPECT_EQ(Send(SerialSetConfig), RequestDone) << "a refusal is not a failed request";
    EXPECT_EQ(request.resultCount, 0u);
}

// A flush empties the chosen ring and resets only that FIFO, in the same FIFO mode; an unknown
// selection touches nothing.
TEST_F(Dispatch, FlushEmptiesTheChosenSide) {
    struct Case {
        std::uint8_t which;
        std::uint32_t rxLeft, txLeft, resultCount;
        std::uint8_t fcr;
    };
    const Case cases[] = {{Flush::Receive, 0, 5, 1, 0x03},
                          {Flush::Transmit, 7, 0, 1, 0x05},
                          {Flush::Both, 0, 0, 1, 0x07},
                          {0, 7, 5, 0, 0},
                          {0x04, 7, 5, 0, 0}};
    for (const Case& c : cases) {
        fake::Receive(Port(1), 7);
        Port(1).txCount = Port(1).txHead = 5;  // five bytes queued
        Port(1).txActive = 1;
        Data()[0] = c.which;
        regs.ClearLog();
        EXPECT_EQ(Send(SerialFlush), RequestDone);
        EXPECT_EQ(request.resultCount, c.resultCount) << +c.which;
        EXPECT_EQ(Port(1).rxCount, c.rxLeft) << +c.which;
        EXPECT_EQ(Port(1).txCount, c.txLeft) << +c.which;
        EXPECT_EQ(Port(1).txActive, c.txLeft == 0 ? 0u : 1u) << +c.which;
        EXPECT_TRUE(fake::RingsConsistent(Port(1)));
        std::vector<std::uint8_t> fcrWrites;
        for (const fake::Access& access : regs.Log()) {
            if (access.kind == 'W' && access.offset == ChannelWindowSize + FCR) {
                fcrWrites.push_back(access.value);
            }
        }
        EXPECT_EQ(fcrWrites,
                  c.fcr == 0 ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>{c.fcr})
            << +c.which;
        EXPECT_TRUE(c.fcr != 0 || regs.Log().empty()) << +c.which;
        Port(1).rxCount = Port(1).txCount = 0;
        Port(1).rxHead = Port(1).rxTail = Port(1).txHead = Port(1).txTail = 0;
    }
}

// The transmit state is the ring's count, LSR's transmitter-empty bit and the FIFO's level, read
// in one section. Reading LSR clears the channel's error bits, so the request gathers them as the
// interrupt service would have: into lineErrors and the counts.
TEST_F(Dispatch, TransmitStateKeepsTheLineErrorsItsReadClears) {
    struct Case {
        std::uint32_t queued;
        std::uint8_t lsr, fifoLevel;
        std::uint8_t transmitterEmpty;
        std::uint32_t parityErrors, breaks;  // counted so far
    };
    const Case cases[] = {
        {0, Lsr::ThrEmpty | Lsr::TxEmpty, 0, 1, 0, 0},
        {300, Lsr::ThrEmpty, 56, 0, 0, 0},
        {0, Lsr::TxEmpty | Lsr::Parity | Lsr::FifoError, 0, 1, 1, 0},
        {7, Lsr::Break | Lsr::Framing, 3, 0, 1, 1},  // a break counts as a break alone
    };
    StartPortReport(1, LineConfig{}, 0);
    Port(1).lineErrors = 0;
    for (const Case& c : cases) {
        Port(1).txCount = c.queued;
        regs.Set(LSR, c.lsr, 1);
        regs.Set(TxLevel, c.fifoLevel, 1);
        regs.ClearLog();
        EXPECT_EQ(Send(SerialGetTransmitState), RequestDone);
        EXPECT_EQ(request.resultCount, sizeof(TransmitStateReport));
        TransmitStateReport report{};
        std::memcpy(&report, Data(), sizeof report);
        EXPECT_EQ(report.queued, c.queued);
        EXPECT_EQ(report.transmitterEmpty, c.transmitterEmpty) << +c.lsr;
        EXPECT_EQ(report.fifoLevel, c.fifoLevel);
        const std::vector<fake::Access> log = regs.Log();
        ASSERT_EQ(log, (std::vector<fake::Access>{fake::R(LSR, c.lsr, 1),
                                                  fake::R(TxLevel, c.fifoLevel, 1)}));
        EXPECT_TRUE(log[0].disabled && log[1].disabled) << "the readings in one section";
        EXPECT_EQ(PortReports[1].parityErrors.load(), c.parityErrors) << +c.lsr;
        EXPECT_EQ(PortReports[1].breaks.load(), c.breaks) << +c.lsr;
    }
    EXPECT_EQ(Port(1).lineErrors.load(), Lsr::Parity | Lsr::FifoError | Lsr::Break | Lsr::Framing);
    Port(1).txCount = 0;
}

// The receive trigger takes the levels that leave flow control room, on an opened port, writes
// only RxLevel, and shows in the settings' byte 27 until the next open.
TEST_F(Dispatch, ReceiveTriggerTakesTheLevelsThatLeaveFlowControlRoom) {
    PortReports[1].receiveTrigger = 0;  // never opened
    Data()[0] = 8;
    EXPECT_EQ(Send(SerialSetReceiveTrigger), RequestDone);
    EXPECT_EQ(request.resultCount + regs.Log().size(), 0u);
    EXPECT_EQ(Send(SerialOpen), RequestDone);
    const std::tuple<std::uint8_t, bool, std::uint8_t> cases[] = {
        {1, true, 1}, {0, false, 1}, {56, true, 56}, {57, false, 56}, {8, true, 8}};
    for (const auto& [level, taken, inForce] : cases) {
        Data()[0] = level;
        regs.ClearLog();
        EXPECT_EQ(Send(SerialSetReceiveTrigger), RequestDone);
        EXPECT_EQ(regs.Log(),
                  taken ? std::vector{fake::W(RxLevel, level, 1)} : std::vector<fake::Access>{});
        EXPECT_EQ(std::make_tuple(request.resultCount, PortReports[1].receiveTrigger),
                  std::make_tuple(taken ? 1u : 0u, inForce));
    }
    EXPECT_EQ(Send(SerialGetConfig), RequestDone);
    EXPECT_EQ(Data()[offsetof(ConfigReport, receiveTrigger)], 8);
    EXPECT_EQ(Send(SerialOpen), RequestDone);
    EXPECT_EQ(PortReports[1].receiveTrigger, FifoTrig::DefaultLevel);
}

// A client rewriting the block while its request runs: every register access still goes to the
// port the request named when it was taken, and the request still answers as its code said.
TEST_F(Dispatch, ARequestStaysOnThePortItNamedWhenTaken) {
    std::vector<std::uint32_t> channels;
    regs.OnAccess([&](const fake::Access& access) {
        channels.push_back(access.offset / ChannelWindowSize);
        request.portIndex = static_cast<std::uint8_t>(channels.size() % BoardPorts);
        request.requestCode = 0;
        request.dataLength = 0xFFFFFFFF;
    });
    const LineConfig config = Line({.baudRate = 9600});
    std::memcpy(Data(), &config, sizeof config);
    UseChannel(DeviceName(2), DefaultDataAreaSize);
    for (const std::uint32_t code :
         {SerialOpen, SerialSetConfig, SerialClose, SerialSetDtr, SerialGetModemStatus}) {
        request.portIndex = 2;
        request.dataLength = sizeof config;
        channels.clear();
        EXPECT_EQ(Send(code), RequestDone) << code;
        ASSERT_FALSE(channels.empty()) << code;
        EXPECT_EQ(std::count(channels.begin(), channels.end(), 2u),
                  static_cast<std::ptrdiff_t>(channels.size()))
            << code;
    }
    regs.OnAccess({});
}

}  // namespace
