// A reader that stops reading for a while during a long stream across a null-modem pair of an
// EngineBoard in manual time: what it got, and what the flow control did meanwhile. Model tests
// check it; bench_stalled_reader reports it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/EngineBoard.h"

namespace testsupport {

// `length` bytes that vary along the stream and never equal the default XON or XOFF character.
std::string FlowSafeStream(std::size_t length);

struct StallOutcome {
    std::string received;                // everything the reader got, in order
    bool senderHeld = false;             // during the stall the sender's transmitter waited
    bool ctsSeenLow = false;             // ... and its CTS was seen low
    sim::SimTime longestWriterHold = 0;  // longest stretch in which WritePort took nothing
};

// The writer keeps `from`'s transmit ring topped up from `stream`; the reader empties `to`'s
// receive ring after every step except from `stallAt` for `stall`. Ends when every byte has been
// received or counted as dropped (ringOverruns), or when `limit` of simulated time has passed.
StallOutcome RunStalledReader(EngineBoard& engine, std::uint8_t from, std::uint8_t to,
                              std::string_view stream, sim::SimTime stallAt, sim::SimTime stall,
                              sim::SimTime limit);

}  // namespace testsupport
