#include "tests/server/support/EchoHandler.h"

namespace servertest {

std::uint32_t EchoHandler(RequestPart* request, const ChannelView* channel) {
    const std::uint32_t length =
        request->dataLength < channel->dataAreaSize ? request->dataLength : channel->dataAreaSize;
    for (std::uint32_t i = 0; i < length; ++i) {
        channel->dataArea[i] = static_cast<std::uint8_t>(~channel->dataArea[i]);
    }
    request->resultCount = length;
    return EchoStatusBase + request->requestCode;
}

}  // namespace servertest
