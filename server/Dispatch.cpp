#include "server/Dispatch.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "hw/BoardClock.h"
#include "hw/Divisor.h"
#include "platform/Rtss.h"
#include "port/LineSignals.h"
#include "port/PortEvents.h"
#include "port/PortOps.h"
#include "port/PortRecord.h"
#include "port/PortReport.h"
#include "port/Rings.h"
#include "port/TransmitState.h"
#include "server/DeviceNames.h"
#include "server/PortRequestLock.h"
#include "server/RequestGate.h"
#include "server/SharedFields.h"
#include "wire/ExtensionRecords.h"

namespace {

// One request as the dispatch sees it. The client may rewrite the block while the request runs,
// so every field it wrote is read exactly once, here, and only these copies are acted on.
struct Request {
    RequestPart* block;          // where the results go
    const ChannelView* channel;  // the driver's own name copy and data area
    std::uint8_t portIndex;
    PortRecord* port;  // the record portIndex names; null for SerialOpen
    std::uint32_t dataLength;
};

using RequestRoutine = std::uint32_t (*)(const Request& request);

struct RequestRow {
    RequestRoutine routine;  // null for a code that has no request
    bool actsOnPortIndex;    // refused with 87 when portIndex names no set-up port
};

std::uint32_t Smaller(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }

// Finds the port by the channel's own name: the copy the driver made at creation, whatever
// nameAddress and nameLength in the block say now.
std::uint32_t Open(const Request& request) {
    char name[DeviceNameSize];
    const std::uint32_t length = Smaller(request.channel->deviceNameLength, DeviceNameSize - 1);
    std::memcpy(name, request.channel->deviceName, length);
    name[length] = '\0';
    const DeviceNameRecord* record = FindDeviceName(name);
    if (record == nullptr) {
        RtPrintf("Driver name %s does not exist.\n", name);
        SetLastError(RtError::InvalidParameter);
        return RequestDone;
    }
    if (FindPort(record->portIndex) == nullptr) {
        return RequestInvalidPort;
    }
    request.block->portIndex = record->portIndex;
    LockPortRequests(record->portIndex);
    OpenPort(record->portIndex);
    UnlockPortRequests(record->portIndex);
    return RequestDone;
}

std::uint32_t Close(const Request& request) {
    (void)ClosePort(request.portIndex);
    NotePortClosed(request.portIndex);
    return RequestDone;
}

// The ring copies straight into the data area, so the length is cut to the area's size.
std::uint32_t Read(const Request& request) {
    ReadPort(request.portIndex, request.channel->dataArea,
             Smaller(request.dataLength, request.channel->dataAreaSize),
             &request.block->resultCount);
    return RequestDone;
}

std::uint32_t Write(const Request& request) {
    WritePort(request.portIndex, request.channel->dataArea,
              Smaller(request.dataLength, request.channel->dataAreaSize),
              &request.block->resultCount);
    return RequestDone;
}

// SetPortConfig's result is tested in these bits only, as the request has always been answered;
// its two results, 0 and 87, differ in them as in the whole word.
constexpr std::uint32_t DecidingResultBits = 0xFFFF;

// The LineConfig stands at the start of the data area whatever dataLength says.
std::uint32_t SetConfig(const Request& request) {
    if (request.channel->dataAreaSize < sizeof(LineConfig)) {
        request.block->resultCount = 0;
        return RequestDone;
    }
    const std::uint32_t refusal = SetPortConfig(request.portIndex, request.channel->dataArea);
    request.block->resultCount = (refusal & DecidingResultBits) == 0 ? 1 : 0;
    return RequestDone;
}

// The line-signal requests: one operation on the port's record, no result.
template <void (*Operation)(PortRecord*)>
std::uint32_t Signal(const Request& request) {
    Operation(request.port);
    return RequestDone;
}

// The one-byte status reads: the value in data area byte 0, resultCount 1.
template <std::uint8_t (*Reading)(PortRecord*)>
std::uint32_t StatusByte(const Request& request) {
    request.channel->dataArea[0] = Reading(request.port);
    request.block->resultCount = 1;
    return RequestDone;
}

// Reading MSR or LSR consumes the change or error bits it reports, which the interrupt service
// then never sees: the waiters hear of them from here instead.
template <std::uint8_t (*Reading)(PortRecord*), void (*Raise)(std::uint8_t, std::uint8_t)>
std::uint32_t ConsumingStatusByte(const Request& request) {
    const std::uint32_t status = StatusByte<Reading>(request);
    Raise(request.portIndex, request.channel->dataArea[0]);
    return status;
}

// Little-endian, whatever the processor's byte order.
void PutWord(std::uint8_t* out, std::uint32_t value) {
    for (std::uint32_t i = 0; i < sizeof value; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t RxCount(const Request& request) {
    PutWord(request.channel->dataArea, ReadRxCount(request.port));
    request.block->resultCount = sizeof(std::uint32_t);
    return RequestDone;
}

// The reply records are written field by field, so the data area holds them little-endian.
// A data area too small for the record gets nothing: resultCount 0.
bool HasRoomFor(const Request& request, std::uint32_t size) {
    if (request.channel->dataAreaSize < size) {
        request.block->resultCount = 0;
        return false;
    }
    request.block->resultCount = size;
    return true;
}

std::uint32_t GetConfig(const Request& request) {
    if (!HasRoomFor(request, sizeof(ConfigReport))) {
        return RequestDone;
    }
    const PortReport& report = PortReports[request.portIndex];
    const LineConfig& config = report.inForce;
    std::uint8_t* out = request.channel->dataArea;
    std::memset(out, 0, sizeof(ConfigReport));
    if (config.baudRate == 0) {
        return RequestDone;  // never opened
    }
    // The record starts with the LineConfig.
    PutWord(out + offsetof(LineConfig, baudRate), static_cast<std::uint32_t>(config.baudRate));
    out[offsetof(LineConfig, parity)] = static_cast<std::uint8_t>(config.parity);
    out[offsetof(LineConfig, stopBits)] = config.stopBits;
    out[offsetof(LineConfig, dataBits)] = config.dataBits;
    out[offsetof(LineConfig, reserved)] = config.reserved;
    PutWord(out + offsetof(LineConfig, softwareFlow), config.softwareFlow);
    out[offsetof(LineConfig, xoffChar)] = config.xoffChar;
    out[offsetof(LineConfig, xonChar)] = config.xonChar;
    out[offsetof(LineConfig, flowControl)] = config.flowControl;
    out[offsetof(LineConfig, lineMode)] = config.lineMode;
    const std::uint16_t divisor = report.divisor;
    PutWord(out + offsetof(ConfigReport, actualBaud), RateOfDivisor(boardClockHz, divisor));
    PutWord(out + offsetof(ConfigReport, clockHz), boardClockHz);
    out[offsetof(ConfigReport, divisor)] = static_cast<std::uint8_t>(divisor);
    out[offsetof(ConfigReport, divisor) + 1] = static_cast<std::uint8_t>(divisor >> 8);
    out[offsetof(ConfigReport, configured)] = report.configured;
    out[offsetof(ConfigReport, receiveTrigger)] = report.receiveTrigger;
    return RequestDone;
}

std::uint32_t GetErrorCounts(const Request& request) {
    if (!HasRoomFor(request, sizeof(ErrorCountsReport))) {
        return RequestDone;
    }
    const PortReport& report = PortReports[request.portIndex];
    std::uint8_t* out = request.channel->dataArea;
    PutWord(out + offsetof(ErrorCountsReport, overruns), report.overruns.load());
    PutWord(out + offsetof(ErrorCountsReport, parityErrors), report.parityErrors.load());
    PutWord(out + offsetof(ErrorCountsReport, framingErrors), report.framingErrors.load());
    PutWord(out + offsetof(ErrorCountsReport, breaks), report.breaks.load());
    PutWord(out + offsetof(ErrorCountsReport, ringOverruns), report.ringOverruns.load());
    return RequestDone;
}

// The one byte of data a request takes; 0 from an empty data area.
std::uint8_t FirstDataByte(const Request& request) {
    return request.channel->dataAreaSize == 0 ? 0 : request.channel->dataArea[0];
}

std::uint32_t FlushRequest(const Request& request) {
    const std::uint8_t which = FirstDataByte(request);
    // A selection the wire does not define touches nothing.
    if (which == 0 || (which & ~Flush::Both) != 0) {
        request.block->resultCount = 0;
        return RequestDone;
    }
    FlushPort(request.portIndex, (which & Flush::Receive) != 0, (which & Flush::Transmit) != 0);
    request.block->resultCount = 1;
    return RequestDone;
}

std::uint32_t GetTransmitState(const Request& request) {
    if (!HasRoomFor(request, sizeof(TransmitStateReport))) {
        return RequestDone;
    }
    const PortTransmitState state = ReadTransmitState(request.portIndex);
    std::uint8_t* out = request.channel->dataArea;
    std::memset(out, 0, sizeof(TransmitStateReport));
    PutWord(out + offsetof(TransmitStateReport, queued), state.queued);
    out[offsetof(TransmitStateReport, transmitterEmpty)] = state.transmitterEmpty;
    out[offsetof(TransmitStateReport, fifoLevel)] = state.fifoLevel;
    return RequestDone;
}

std::uint32_t SetReceiveTriggerRequest(const Request& request) {
    request.block->resultCount =
        SetReceiveTrigger(request.portIndex, FirstDataByte(request)) ? 1 : 0;
    return RequestDone;
}

constexpr std::uint32_t HighestCode = SerialGetRxCount;

// Indexed by code - 1. Code 5 has no request.
constexpr std::array<RequestRow, HighestCode> RequestTable = [] {
    std::array<RequestRow, HighestCode> table{};
    table[SerialOpen - 1] = {Open, false};
    table[SerialClose - 1] = {Close, true};
    table[SerialRead - 1] = {Read, true};
    table[SerialWrite - 1] = {Write, true};
    table[SerialSetConfig - 1] = {SetConfig, true};
    table[SerialSetRts - 1] = {Signal<SetRts>, true};
    table[SerialClearRts - 1] = {Signal<ClearRts>, true};
    table[SerialSetDtr - 1] = {Signal<SetDtr>, true};
    table[SerialClearDtr - 1] = {Signal<ClearDtr>, true};
    table[SerialGetModemStatus - 1] = {ConsumingStatusByte<ReadModemStatus, RaiseModemChange>,
                                       true};
    table[SerialGetLineStatus - 1] = {ConsumingStatusByte<ReadLineStatus, RaiseLineErrors>, true};
    table[SerialGetModemControl - 1] = {StatusByte<ReadModemControl>, true};
    table[SerialSetBreak - 1] = {Signal<SetBreak>, true};
    table[SerialClearBreak - 1] = {Signal<ClearBreak>, true};
    table[SerialGetLineErrors - 1] = {StatusByte<ReadLineErrors>, true};
    table[SerialGetRxCount - 1] = {RxCount, true};
    return table;
}();

// Indexed by code - ExtensionBase.
constexpr std::array<RequestRow, 5> ExtensionTable = {{
    {GetConfig, true},
    {GetErrorCounts, true},
    {FlushRequest, true},
    {GetTransmitState, true},
    {SetReceiveTriggerRequest, true},
}};
static_assert(SerialGetConfig - ExtensionBase == 0 && SerialGetErrorCounts - ExtensionBase == 1 &&
              SerialFlush - ExtensionBase == 2 && SerialGetTransmitState - ExtensionBase == 3 &&
              SerialSetReceiveTrigger - ExtensionBase == 4);

// The row for a code, or null. Codes 0 and those above each table wrap or run past its end alike.
const RequestRow* FindRow(std::uint32_t code) {
    const RequestRow* row = nullptr;
    if (code - 1 < RequestTable.size()) {
        row = &RequestTable[code - 1];
    } else if (code - ExtensionBase < ExtensionTable.size()) {
        row = &ExtensionTable[code - ExtensionBase];
    }
    return row != nullptr && row->routine != nullptr ? row : nullptr;
}

}  // namespace

std::uint32_t DispatchRequest(RequestPart* block, const ChannelView* channel) {
    const RequestRow* row = FindRow(ReadOnce(block->requestCode));
    if (row == nullptr) {
        return RequestNotImplemented;
    }
    WaitForRequestGate();
    Request request{block, channel, ReadOnce(block->portIndex), nullptr,
                    ReadOnce(block->dataLength)};
    if (!row->actsOnPortIndex) {
        return row->routine(request);
    }
    request.port = FindPort(request.portIndex);
    if (request.port == nullptr) {
        return RequestInvalidPort;
    }
    LockPortRequests(request.portIndex);
    const std::uint32_t status = row->routine(request);
    UnlockPortRequests(request.portIndex);
    return status;
}
