#include "server/Dispatch.h"

#include <array>
#include <cstring>

#include "platform/Rtss.h"
#include "port/LineSignals.h"
#include "port/PortOps.h"
#include "port/PortRecord.h"
#include "port/Rings.h"
#include "server/DeviceNames.h"
#include "server/PortRequestLock.h"
#include "server/RequestGate.h"
#include "server/SharedFields.h"

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

// The LineConfig stands at the start of the data area whatever dataLength says.
std::uint32_t SetConfig(const Request& request) {
    if (request.channel->dataAreaSize < sizeof(LineConfig)) {
        request.block->resultCount = 0;
        return RequestDone;
    }
    const std::uint32_t refusal = SetPortConfig(request.portIndex, request.channel->dataArea);
    request.block->resultCount = (refusal & 0xFFFF) == 0 ? 1 : 0;
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

// Four bytes, little-endian, whatever the processor's byte order.
std::uint32_t RxCount(const Request& request) {
    const std::uint32_t count = ReadRxCount(request.port);
    for (std::uint32_t i = 0; i < sizeof count; ++i) {
        request.channel->dataArea[i] = static_cast<std::uint8_t>(count >> (8 * i));
    }
    request.block->resultCount = sizeof count;
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
    table[SerialGetModemStatus - 1] = {StatusByte<ReadModemStatus>, true};
    table[SerialGetLineStatus - 1] = {StatusByte<ReadLineStatus>, true};
    table[SerialGetModemControl - 1] = {StatusByte<ReadModemControl>, true};
    table[SerialSetBreak - 1] = {Signal<SetBreak>, true};
    table[SerialClearBreak - 1] = {Signal<ClearBreak>, true};
    table[SerialGetLineErrors - 1] = {StatusByte<ReadLineErrors>, true};
    table[SerialGetRxCount - 1] = {RxCount, true};
    return table;
}();

}  // namespace

std::uint32_t DispatchRequest(RequestPart* block, const ChannelView* channel) {
    // Codes 0 and above the table wrap or run past its end alike.
    const std::uint32_t row = ReadOnce(block->requestCode) - 1;
    if (row >= RequestTable.size() || RequestTable[row].routine == nullptr) {
        return RequestNotImplemented;
    }
    WaitForRequestGate();
    Request request{block, channel, ReadOnce(block->portIndex), nullptr,
                    ReadOnce(block->dataLength)};
    if (!RequestTable[row].actsOnPortIndex) {
        return RequestTable[row].routine(request);
    }
    request.port = FindPort(request.portIndex);
    if (request.port == nullptr) {
        return RequestInvalidPort;
    }
    LockPortRequests(request.portIndex);
    const std::uint32_t status = RequestTable[row].routine(request);
    UnlockPortRequests(request.portIndex);
    return status;
}
