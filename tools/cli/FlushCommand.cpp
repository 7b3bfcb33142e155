#include <cstdio>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"

namespace tool {
namespace {

struct Side {
    const char* word;
    quelta::FlushSide side;
    const char* done;
};
constexpr Side Sides[] = {{"rx", quelta::FlushSide::Receive, "rx"},
                          {"tx", quelta::FlushSide::Transmit, "tx"},
                          {"both", quelta::FlushSide::Both, "rx and tx"}};

int RunFlush(const Invocation& invocation) {
    const auto& words = invocation.Args().Positionals();
    const std::string which = words.size() > 1 ? words[1] : "both";
    const Side* side = nullptr;
    for (const Side& candidate : Sides) {
        if (which == candidate.word) side = &candidate;
    }
    if (side == nullptr) throw UsageError("expected rx, tx or both, not '" + which + "'");
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    port.Flush(side->side);
    std::printf("%s: flushed %s\n", quelta::ShortDeviceName(port.Name()).c_str(), side->done);
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> FlushCommands() {
    return {{"flush",
             "flush DEV [rx|tx|both]",
             "throw away received or unsent bytes",
             "Empties the receive side (rx: the bytes waiting in the ring and the UART's FIFO),\n"
             "the transmit side (tx: the bytes not yet sent) or both (the default). The settings\n"
             "and the modem lines (DTR, RTS) stay as they are, unlike close or --reset.\n",
             {},
             1,
             2,
             RunFlush}};
}

}  // namespace tool
