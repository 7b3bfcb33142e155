// The wire format between the driver and its clients: one RequestBlock in each device's named
// shared memory object, and the request codes. Shared by the driver and the client library.
//
// A client writes requestCode, dataLength and the request data, releases the device's ".s1"
// semaphore and waits on ".s2"; the driver answers in status, resultCount and dataArea. All
// multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

// The block from offset 4 on: what a request handler is given.
struct RequestPart {
    std::uint32_t nameAddress;  // driver's own address of its name copy; means nothing to clients
    std::uint8_t nameLength;    // length of the device name (low 8 bits)
    std::uint8_t unused9[3];
    // Never touched by the driver: a client that stopped waiting for a reply the driver still
    // owes marks it here, so that the next request of any client collects that reply first.
    std::uint8_t lateMark[4];
    std::uint32_t requestCode;  // written by the client
    std::uint8_t portIndex;     // written by SerialOpen; used by every later request
    std::uint8_t
        clientMark[3];  // never touched by the driver; the client library marks an open port
    std::uint32_t dataAddress;  // driver's own address of dataArea, rewritten before each request
    std::uint32_t dataLength;   // byte count of the request data (read, write)
    std::uint32_t resultCount;  // bytes read or accepted, 1/0 for a configuration, reply sizes
    std::uint32_t status;       // 0 for every known request, 120 for any other code
};

struct RequestBlock {
    std::uint32_t dataAreaSize;  // size of dataArea; written by the driver at creation
    RequestPart request;
    // dataArea (dataAreaSize bytes) follows at offset 40, then 4 unused bytes.
};

constexpr std::uint32_t RequestBlockDataOffset = 40;
constexpr std::uint32_t RequestBlockOverhead = 44;  // the object is dataAreaSize + 44 bytes
constexpr std::uint32_t DefaultDataAreaSize = 8192;

static_assert(sizeof(RequestPart) == 36 && sizeof(RequestBlock) == RequestBlockDataOffset);
static_assert(offsetof(RequestBlock, dataAreaSize) == 0);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, nameAddress) == 4);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, nameLength) == 8);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, lateMark) == 12);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, requestCode) == 16);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, portIndex) == 20);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, dataAddress) == 24);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, dataLength) == 28);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, resultCount) == 32);
static_assert(offsetof(RequestBlock, request) + offsetof(RequestPart, status) == 36);

inline std::uint8_t* DataArea(RequestBlock* block) {
    return reinterpret_cast<std::uint8_t*>(block) + RequestBlockDataOffset;
}

// Request codes.
constexpr std::uint32_t SerialOpen = 1;
constexpr std::uint32_t SerialClose = 2;
constexpr std::uint32_t SerialRead = 3;
constexpr std::uint32_t SerialWrite = 4;
constexpr std::uint32_t SerialSetConfig = 6;
constexpr std::uint32_t SerialSetRts = 7;
constexpr std::uint32_t SerialClearRts = 8;
constexpr std::uint32_t SerialSetDtr = 9;
constexpr std::uint32_t SerialClearDtr = 10;
constexpr std::uint32_t SerialGetModemStatus = 11;
constexpr std::uint32_t SerialGetLineStatus = 12;
constexpr std::uint32_t SerialGetModemControl = 13;
constexpr std::uint32_t SerialSetBreak = 14;
constexpr std::uint32_t SerialClearBreak = 15;
constexpr std::uint32_t SerialGetLineErrors = 16;
constexpr std::uint32_t SerialGetRxCount = 17;
constexpr std::uint32_t ChannelStop = 0x7FFFFFFF;  // ends the device's service thread

// Requests this driver adds to the set above, from ExtensionBase up; their reply records are in
// wire/ExtensionRecords.h. Every other code below ExtensionBase, and every code past the last
// extension, answers RequestNotImplemented and leaves the block alone, so a client can probe for
// an extension and fall back when an older driver answers 120.
constexpr std::uint32_t ExtensionBase = 0x100;
// The settings the channel runs with: a ConfigReport at the start of the data area, resultCount
// its size.
constexpr std::uint32_t SerialGetConfig = 0x100;
// The line errors counted since the port was opened: an ErrorCountsReport record, resultCount
// its size.
constexpr std::uint32_t SerialGetErrorCounts = 0x101;
// Empties the receive side, the transmit side or both, as data area byte 0 selects (Flush bits),
// and leaves the settings and the modem lines alone. resultCount 1, or 0 when byte 0 selects
// nothing it knows.
constexpr std::uint32_t SerialFlush = 0x102;
// What is still to go out: a TransmitStateReport (the bytes in the transmit ring and whether the
// channel's transmitter is empty), resultCount its size. A client waits on it for the line to
// drain (tcdrain) before it changes settings, since every accepted SerialSetConfig resets both
// FIFOs.
constexpr std::uint32_t SerialGetTransmitState = 0x103;
// Sets the level of the receive FIFO at which the channel interrupts (and, under flow control,
// stops the far end): data area byte 0, from ReceiveTrigger::Lowest to ReceiveTrigger::Highest.
// resultCount 1, or 0 for any other level or a port not opened since the driver started. An open
// sets the highest again; SerialGetConfig reports the level in force.
constexpr std::uint32_t SerialSetReceiveTrigger = 0x104;

// Status values.
constexpr std::uint32_t RequestDone = 0;
constexpr std::uint32_t RequestInvalidPort = 87;
constexpr std::uint32_t RequestNotImplemented = 120;

// Device names: "\RtDevice\Quelta\Serial%d"; the objects add these suffixes (the mutex has none).
constexpr const char DeviceNamePrefix[] = "\\RtDevice\\Quelta\\";
constexpr const char DeviceNameFormat[] = "\\RtDevice\\Quelta\\Serial%d";
constexpr const char SharedMemorySuffix[] = ".sm";
constexpr const char RequestSemaphoreSuffix[] = ".s1";
constexpr const char ReplySemaphoreSuffix[] = ".s2";
// The event objects beside them are named in wire/EventBlock.h.
