// A request handler whose answers a client can check without a port behind the channel.
#pragma once

#include <cstdint>

#include "server/ChannelView.h"

namespace servertest {

constexpr std::uint32_t EchoStatusBase = 1000;

// Inverts the first dataLength bytes of the data area (cut to its size), puts that count into
// resultCount and answers with status EchoStatusBase + requestCode.
std::uint32_t EchoHandler(RequestPart* request, const ChannelView* channel);

}  // namespace servertest
