// The request dispatch over ports on the scripted register fake: the table of codes, what each
// request leaves alone, SerialOpen's lookup by the channel's own name, and the mended faults
// (no port behind portIndex, an oversized dataLength, fields rewritten by the client mid-request).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hw/BoardClock.h"
#include "platform/Rtss.h"
#include "port/PortRecord.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

namespace {

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

    // What the receive service would have left in the ring.
    void Receive(PortRecord& port, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            port.rxRing[port.rxHead] = static_cast<std::uint8_t>(i);
            port.rxHead = (port.rxHead + 1) % RingSize;
        }
        port.rxCount += count;
    }
};

TEST_F(Dispatch, CodesWithoutARequestAnswer120AndTouchNothing) {
    for (const std::uint32_t code : {0u, 5u, 18u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        request.requestCode = code;
        const std::vector<std::uint8_t> before = memory;
        EXPECT_EQ(DispatchRequest(&request, &view), RequestNotImplemented) << code;
        EXPECT_EQ(memory, before) << "code " << code << " changed the block";
    }
    EXPECT_TRUE(regs.Log().empty()) << "no port operation was reached";
}

// Every request of the table answers 0 on a set-up port; those that give no result leave
// resultCount as the previous request left it.
TEST_F(Dispatch, EveryRequestAnswersZeroAndOnlySomeSetTheResult) {
    struct Row {
        std::uint32_t code;
        bool setsResult;
    };
    const Row rows[] = {
        {SerialOpen, false},          {SerialClose, false},         {SerialRead, true},
        {SerialWrite, true},          {SerialSetConfig, true},      {SerialSetRts, false},
        {SerialClearRts, false},      {SerialSetDtr, false},        {SerialClearDtr, false},
        {SerialGetModemStatus, true}, {SerialGetLineStatus, true},  {SerialGetModemControl, true},
        {SerialSetBreak, false},      {SerialClearBreak, false},    {SerialGetLineErrors, true},
        {SerialGetRxCount, true},
    };
    for (const Row& row : rows) {
        request.resultCount = Untouched;
        request.dataLength = 0;
        EXPECT_EQ(Send(row.code), RequestDone) << row.code;
        EXPECT_EQ(request.resultCount != Untouched, row.setsResult) << row.code;
        EXPECT_EQ(request.portIndex, 1u) << row.code;
    }
}

// A portIndex that names no port set-up created reaches no port operation: 87, block as it was.
TEST_F(Dispatch, APortIndexWithoutAPortIsRefusedWith87) {
    for (const std::uint8_t index : std::vector<std::uint8_t>{4, 7, 8, 255}) {
        for (std::uint32_t code = SerialClose; code <= SerialGetRxCount; ++code) {
            if (code == 5) {
                continue;
            }
            request.portIndex = index;
            request.dataLength = 16;
            request.requestCode = code;
            const std::vector<std::uint8_t> before = memory;
            EXPECT_EQ(DispatchRequest(&request, &view), RequestInvalidPort)
                << "code " << code << " port " << +index;
            EXPECT_EQ(memory, before) << "code " << code << " port " << +index;
        }
    }
    EXPECT_TRUE(regs.Log().empty());
}

// Each channel finds its own port by its own name, wherever the numbering starts, whatever a
// client has written over nameAddress and nameLength.
class DispatchOpen : public Dispatch, public ::testing::WithParamInterface<int> {};

TEST_P(DispatchOpen, FindsTheChannelsPortByItsOwnName) {
    const int portBase = GetParam();
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
        ASSERT_FALSE(accesses.empty()) << "the port was opened";
        for (const fake::Access& access : accesses) {
            EXPECT_EQ(access.offset / ChannelWindowSize, channel) << "only its own channel";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PortBase, DispatchOpen, ::testing::Values(0, 1, 8, 10, 250));

TEST_F(Dispatch, OpenWithANameNoPortHasIsReportedAndChangesNothing) {
    UseChannel(DeviceName(9), DefaultDataAreaSize);
    request.requestCode = SerialOpen;
    const std::vector<std::uint8_t> before = memory;
    SetLastError(0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(DispatchRequest(&request, &view), RequestDone);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Driver name \\RtDevice\\Quelta\\Serial9 does not exist.\n");
    EXPECT_EQ(GetLastError(), RtError::InvalidParameter);
    EXPECT_EQ(memory, before) << "portIndex and resultCount stay";
    EXPECT_TRUE(regs.Log().empty());
}

TEST_F(Dispatch, AnOverlongOwnNameIsCutToTheLookupBuffer) {
    UseChannel(std::string(300, 'x'), DefaultDataAreaSize);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Send(SerialOpen), RequestDone);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Driver name " + std::string(DeviceNameSize - 1, 'x') + " does not exist.\n");
}

TEST_F(Dispatch, OpenOfANamedChannelWithoutAPortIsRefused) {
    FillNameTable(0, 6);  // names for channels 4 and 5, which have no record
    UseChannel(DeviceName(5), DefaultDataAreaSize);
    EXPECT_EQ(Send(SerialOpen), RequestInvalidPort);
    EXPECT_EQ(request.portIndex, 1u);
    EXPECT_TRUE(regs.Log().empty());
}

TEST_F(Dispatch, ReadIsCutToTheDataArea) {
    UseChannel(DeviceName(1), 64);
    Receive(Port(1), 100);
    request.dataLength = 1000;
    EXPECT_EQ(Send(SerialRead), RequestDone);
    EXPECT_EQ(request.resultCount, 64u);
    EXPECT_EQ(Data()[63], 63);
    EXPECT_EQ(Data()[64], 0xEE) << "nothing past the data area";
    EXPECT_EQ(Port(1).rxCount, 36u);
    EXPECT_TRUE(fake::RingsConsistent(Port(1)));
}

TEST_F(Dispatch, WriteTakesNoMoreThanTheDataArea) {
    UseChannel(DeviceName(1), 64);
    request.dataLength = 100000;
    EXPECT_EQ(Send(SerialWrite), RequestDone);
    EXPECT_EQ(request.resultCount, 64u);
    EXPECT_EQ(Port(1).txCount, 64u);
}

TEST_F(Dispatch, ReadAndWriteMoveTheBytesOfTheDataArea) {
    Receive(Port(1), 30);
    request.dataLength = 100;
    EXPECT_EQ(Send(SerialRead), RequestDone);
    EXPECT_EQ(request.resultCount, 30u);
    EXPECT_EQ(Data()[29], 29);
    EXPECT_EQ(Data()[30], 0xEE);

    std::memcpy(Data(), "hello", 5);
    request.dataLength = 5;
    EXPECT_EQ(Send(SerialWrite), RequestDone);
    EXPECT_EQ(request.resultCount, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Port(1).txRing), 5), "hello");
}

TEST_F(Dispatch, RxCountIsFourLittleEndianBytes) {
    Receive(Port(1), 300);
    EXPECT_EQ(Send(SerialGetRxCount), RequestDone);
    EXPECT_EQ(std::vector<std::uint8_t>(Data(), Data() + 5),
              (std::vector<std::uint8_t>{0x2C, 0x01, 0x00, 0x00, 0xEE}));
    EXPECT_EQ(request.resultCount, 4u);
    EXPECT_EQ(Port(1).rxCount, 300u) << "a count, not a read";

    Port(2).rxCount = 0;
    request.portIndex = 2;
    EXPECT_EQ(Send(SerialGetRxCount), RequestDone);
    EXPECT_EQ(std::vector<std::uint8_t>(Data(), Data() + 4),
              (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

LineConfig Config(std::int32_t baud) {
    LineConfig config{};
    config.baudRate = baud;
    config.parity = 'n';
    config.stopBits = 1;
    config.dataBits = 8;
    return config;
}

TEST_F(Dispatch, SetConfigTakesTheRecordWhateverDataLengthSays) {
    for (const std::uint32_t length : {0u, 3u, 0xFFFFFFFFu}) {
        const LineConfig config = Config(115200);
        std::memcpy(Data(), &config, sizeof config);
        request.dataLength = length;
        request.resultCount = Untouched;
        EXPECT_EQ(Send(SerialSetConfig), RequestDone);
        EXPECT_EQ(request.resultCount, 1u) << "dataLength " << length;
        EXPECT_EQ(Port(1).config.baudRate, 115200);
    }
    const LineConfig refused = Config(0);
    std::memcpy(Data(), &refused, sizeof refused);
    EXPECT_EQ(Send(SerialSetConfig), RequestDone) << "a refusal is not a failed request";
    EXPECT_EQ(request.resultCount, 0u);
}

TEST_F(Dispatch, StatusReadsPutOneByteIntoTheDataArea) {
    struct Case {
        std::uint32_t code;
        RegOffset reg;
        std::uint8_t registerValue;
        std::uint8_t answer;
    };
    const Case cases[] = {
        {SerialGetModemStatus, MSR, 0xB1, 0xB1},
        {SerialGetLineStatus, LSR, 0x61, 0x61},
        {SerialGetModemControl, MCR, 0xFB, 0x03},  // DTR and RTS only, whatever else is set
        {SerialGetModemControl, MCR, 0x08, 0x00},
    };
    for (const Case& c : cases) {
        regs.Set(c.reg, c.registerValue, 1);
        Data()[1] = 0xEE;
        request.resultCount = Untouched;
        EXPECT_EQ(Send(c.code), RequestDone);
        EXPECT_EQ(Data()[0], c.answer) << c.code;
        EXPECT_EQ(Data()[1], 0xEE) << c.code;
        EXPECT_EQ(request.resultCount, 1u) << c.code;
    }
    Port(1).lineErrors = 0x0A;
    for (int twice = 0; twice < 2; ++twice) {
        EXPECT_EQ(Send(SerialGetLineErrors), RequestDone);
        EXPECT_EQ(Data()[0], 0x0A) << "reading the errors does not clear them";
    }
}

TEST_F(Dispatch, SignalRequestsReachTheirPort) {
    regs.Set(MCR, 0x08, 1);
    EXPECT_EQ(Send(SerialSetDtr), RequestDone);
    EXPECT_EQ(Send(SerialSetRts), RequestDone);
    EXPECT_EQ(regs.Latch(MCR, 1), 0x0B);
    EXPECT_EQ(Send(SerialClearDtr), RequestDone);
    EXPECT_EQ(regs.Latch(MCR, 1), 0x0A);
    EXPECT_EQ(Send(SerialSetBreak), RequestDone);
    EXPECT_EQ(regs.Latch(LCR, 1) & Lcr::Break, Lcr::Break);
    EXPECT_EQ(Send(SerialClearBreak), RequestDone);
    EXPECT_EQ(regs.Latch(LCR, 1) & Lcr::Break, 0);
    EXPECT_EQ(request.resultCount, Untouched);
}

// A client rewriting the block while its request runs: every register access still goes to the
// port the request named when it was taken, and the request still answers as its code said.
class MeddlingRegisters final : public host::RegisterDevice {
public:
    explicit MeddlingRegisters(RequestPart& request) : request_(request) {
        base_ = host::MapRegisterDevice(this, BoardPorts * ChannelWindowSize);
    }
    ~MeddlingRegisters() override { host::UnmapRegisterDevice(base_); }
    ChannelRegs* Window(std::uint32_t channel) const {
        return reinterpret_cast<ChannelRegs*>(static_cast<std::uint8_t*>(base_) +
                                              channel * ChannelWindowSize);
    }
    std::uint8_t Load(std::uint32_t offset) override {
        Meddle(offset);
        return 0;
    }
    void Store(std::uint32_t offset, std::uint8_t) override { Meddle(offset); }
    std::vector<std::uint32_t> channels;

private:
    void Meddle(std::uint32_t offset) {
        channels.push_back(offset / ChannelWindowSize);
        request_.portIndex = static_cast<std::uint8_t>(channels.size() % BoardPorts);
        request_.requestCode = 0;
        request_.dataLength = 0xFFFFFFFF;
    }
    RequestPart& request_;
    void* base_;
};

TEST(DispatchUnderAMeddlingClient, ARequestStaysOnThePortItNamedWhenTaken) {
    std::vector<std::uint8_t> memory(RequestBlockOverhead + DefaultDataAreaSize, 0);
    auto* block = reinterpret_cast<RequestBlock*>(memory.data());
    MeddlingRegisters regs(block->request);
    fake::TestPorts ports;
    for (std::uint32_t i = 0; i < BoardPorts; ++i) {
        ports.Add(static_cast<std::uint8_t>(i), regs.Window(i));
    }
    boardClockHz = BoardClock;
    FillNameTable(0);
    const LineConfig config = Config(9600);
    std::memcpy(DataArea(block), &config, sizeof config);
    const std::string name = DeviceName(2);
    const ChannelView view{name.data(), static_cast<std::uint32_t>(name.size()), DataArea(block),
                           DefaultDataAreaSize};
    for (const std::uint32_t code :
         {SerialOpen, SerialSetConfig, SerialClose, SerialSetDtr, SerialGetModemStatus}) {
        block->request.requestCode = code;
        block->request.portIndex = 2;
        block->request.dataLength = sizeof config;
        regs.channels.clear();
        EXPECT_EQ(DispatchRequest(&block->request, &view), RequestDone) << code;
        ASSERT_FALSE(regs.channels.empty()) << code;
        for (const std::uint32_t channel : regs.channels) {
            EXPECT_EQ(channel, 2u) << code;
        }
    }
    std::memset(DeviceNameTable, 0, sizeof DeviceNameTable);
    boardClockHz = 0;
}

}  // namespace
