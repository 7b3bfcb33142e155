#include "tests/support/StalledReader.h"

#include <algorithm>

#include "platform/host/HostMachine.h"
#include "port/PortReport.h"
#include "sim/BoardRegisters.h"

namespace testsupport {

std::string FlowSafeStream(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        auto byte = static_cast<std::uint8_t>(i * 131 + (i >> 9));
        if (byte == DefaultXonChar || byte == DefaultXoffChar) {
            byte ^= 0x80;
        }
        bytes[i] = static_cast<char>(byte);
    }
    return bytes;
}

StallOutcome RunStalledReader(EngineBoard& engine, std::uint8_t from, std::uint8_t to,
                              std::string_view stream, sim::SimTime stallAt, sim::SimTime stall,
                              sim::SimTime limit) {
    StallOutcome outcome;
    std::size_t sent = 0;
    sim::SimTime lastTaken = host::CurrentMachine().Now();
    engine.PumpUntil(
        [&] {
            const sim::SimTime now = host::CurrentMachine().Now();
            if (sent < stream.size()) {
                const std::uint32_t taken = engine.Write(from, stream.substr(sent));
                if (taken > 0) {
                    sent += taken;
                    outcome.longestWriterHold =
                        std::max(outcome.longestWriterHold, now - lastTaken);
                    lastTaken = now;
                }
            }
            if (now >= stallAt && now < stallAt + stall) {
                const sim::ChannelSnapshot sender = engine.Board().Peek(from);
                outcome.senderHeld = outcome.senderHeld || sender.txHeld;
                outcome.ctsSeenLow = outcome.ctsSeenLow || (sender.msr & sim::reg::msr::Cts) == 0;
            } else {
                outcome.received += engine.ReadAvailable(to);
            }
            return outcome.received.size() + PortReports[to].ringOverruns.load() >= stream.size();
        },
        limit);
    return outcome;
}

}  // namespace testsupport
