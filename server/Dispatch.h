// The request handler that board set-up installs on every device channel: carries out the
// request codes of RequestBlock.h on the port behind the channel.
#pragma once

#include <cstdint>

#include "server/ChannelView.h"
#include "wire/RequestBlock.h"

// Status 0 for a request carried out (its outcome shows in resultCount or the data area), 87 when
// portIndex names no port that set-up created, 120 for an unknown code; the block is left alone
// in the last two cases.
std::uint32_t DispatchRequest(RequestPart* request, const ChannelView* channel);
