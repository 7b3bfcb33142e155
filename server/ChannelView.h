// What a request handler is given besides the shared block: the channel's own copy of its name and
// its own pointer to the data area. Clients can write anything into the block at any moment, the
// driver's address fields included, so the handler takes both from here and never from the block.
#pragma once

#include <cstdint>

#include "wire/RequestBlock.h"

struct ChannelView {
    const char* deviceName;          // the driver's copy of the device name, no terminator
    std::uint32_t deviceNameLength;  // its length in bytes
    std::uint8_t* dataArea;          // the block's data area in the driver's mapping
    std::uint32_t dataAreaSize;      // its size in bytes
};

// Carries out the request that stands in the block and returns the status for it.
using RequestHandler = std::uint32_t (*)(RequestPart* request, const ChannelView* channel);
