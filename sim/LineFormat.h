// The word format and bit rate of a line as one channel sees it, and what a receiver makes of a
// character sent in another format or at another rate: it samples the sender's waveform in the
// middle of each of its own bit cells, as a 16x-oversampling UART does.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/SimTime.h"

namespace sim {

enum class Parity : std::uint8_t { None, Odd, Even, Mark, Space };

struct LineFormat {
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    std::uint8_t stopHalfBits = 2;  // 2: one stop bit, 3: one and a half, 4: two
    SimTime bitTime = 0;            // 0: no clock (divisor 0), the transmitter stands still

    // Start, data, parity and stop bits: how long one character occupies the line.
    SimTime FrameTime() const {
        const int halfBits = 2 * (1 + dataBits + (parity == Parity::None ? 0 : 1)) + stopHalfBits;
        return bitTime * halfBits / 2;
    }
    bool Runs() const { return bitTime > 0; }
    bool operator==(const LineFormat&) const = default;
};

// The format a channel's LCR, divisor latch and prescaler give with the board's UART clock:
// each bit lasts 16 x divisor (x 4 with the prescaler) clock periods.
LineFormat FormatOf(std::uint8_t lcr, std::uint16_t divisor, bool prescale, std::uint32_t clockHz);

// A character as the receiver stores it: its data bits and the LSR error bits it carries.
struct ReceivedChar {
    std::uint8_t value = 0;
    std::uint8_t errors = 0;  // reg::lsr::Parity / Framing / Break
};

// What a receiver in format `rx` reads from one character sent in format `tx`. After the
// sender's stop bits the line is at mark, or at space when another start bit follows at once.
// Nothing when the receiver has no clock or finds no valid start bit at its first sample.
// Departure from a real receiver: each sent character gives at most one received character,
// taken from the sender's start edge. A receiver far off the sender's rate would also lose
// characters or find start bits inside them; within and near the tolerance that makes no
// difference, and beyond it the errors are there either way.
std::optional<ReceivedChar> Sample(const LineFormat& tx, std::uint8_t value, const LineFormat& rx,
                                   bool spaceFollows);

// What a receiver reads from the line held at space for `duration` (a break, or a short space),
// then back at mark. A space as long as the receiver's whole frame is a break.
std::optional<ReceivedChar> SampleSpace(SimTime duration, const LineFormat& rx);

}  // namespace sim
