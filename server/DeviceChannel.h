// The driver's end of one named device: a shared memory object holding one RequestBlock, a
// request and a reply semaphore, a mutex for the clients of the device, and a service thread that
// hands each request to the channel's handler.
#pragma once

#include <cstdint>

#include "platform/Rtss.h"
#include "server/ChannelView.h"
#include "wire/RequestBlock.h"

// Allocated from locked memory in one piece with its name buffer, which follows the record.
// Created once by board set-up and kept for the life of the process.
struct DeviceChannel {
    RtHandle sharedMemory;      // "<name>.sm", one RequestBlock
    RtHandle channelMutex;      // the bare name; taken by clients only, never by the driver
    RtHandle requestSemaphore;  // "<name>.s1": a client releases it when a request stands
    RtHandle replySemaphore;    // "<name>.s2": the service thread releases it when the reply stands
    RequestHandler handler;
    RequestBlock* block;     // the block in the driver's own mapping
    char* objectName;        // name + room for a 3-character suffix and terminator; bare name
    ChannelView view;        // own name copy and data area, never taken from the block
    RtHandle serviceThread;  // kept for inspection; the driver never uses it again
};

// Creates the objects and starts the service thread. On failure returns null with the last-error
// code set (8 memory, 183 shared memory object, 3 semaphore, mutex or thread), everything made
// before released in reverse order.
DeviceChannel* CreateDeviceChannel(const char* name, RequestHandler handler,
                                   std::uint32_t stackSize, std::int32_t priority,
                                   std::uint32_t dataAreaSize);

// The service thread: waits for a request, hands it to the handler, signals the reply.
std::uint32_t RTFCNDCL DeviceChannelThread(void* parameter);
