#include "sim/LineFormat.h"

#include <bit>
#include <cmath>

#include "sim/BoardRegisters.h"

namespace sim {
namespace {

bool ParityBit(Parity parity, std::uint8_t data) {
    const bool oddOnes = (std::popcount(data) % 2) != 0;
    switch (parity) {
    case Parity::Odd:
        return !oddOnes;  // makes the number of ones odd
    case Parity::Even:
        return oddOnes;
    case Parity::Mark:
        return true;
    case Parity::Space:
        return false;
    case Parity::None:
        break;
    }
    return true;
}

std::uint8_t DataMask(std::uint8_t bits) { return static_cast<std::uint8_t>((1u << bits) - 1u); }

// One character on the wire, as a level over time from the leading edge of its start bit.
struct CharWave {
    const LineFormat& format;
    std::uint8_t value;
    bool spaceFollows;

    bool MarkAt(double t) const {
        double bit = t / static_cast<double>(format.bitTime);
        if (bit < 1.0) {
            return false;  // start bit
        }
        bit -= 1.0;
        if (bit < format.dataBits) {
            return ((value >> static_cast<int>(bit)) & 1) != 0;  // least significant bit first
        }
        bit -= format.dataBits;
        if (format.parity != Parity::None) {
            if (bit < 1.0) {
                return ParityBit(format.parity, value & DataMask(format.dataBits));
            }
            bit -= 1.0;
        }
        if (bit < format.stopHalfBits / 2.0) {
            return true;
        }
        return !spaceFollows;
    }
};

struct SpaceWave {
    SimTime duration;
    bool MarkAt(double t) const { return t >= static_cast<double>(duration); }
};

// The receiver's view: one sample in the middle of each of its own bit cells.
template <typename Wave>
std::optional<ReceivedChar> SampleWave(const Wave& wave, const LineFormat& rx) {
    if (!rx.Runs()) {
        return std::nullopt;
    }
    const auto cellMiddle = [&](int cell) {
        return (cell + 0.5) * static_cast<double>(rx.bitTime);
    };
    if (wave.MarkAt(cellMiddle(0))) {
        return std::nullopt;  // a glitch shorter than half a bit: no start bit
    }
    ReceivedChar received;
    bool allSpace = true;
    int cell = 1;
    for (int i = 0; i < rx.dataBits; ++i, ++cell) {
        if (wave.MarkAt(cellMiddle(cell))) {
            received.value = static_cast<std::uint8_t>(received.value | (1u << i));
            allSpace = false;
        }
    }
    if (rx.parity != Parity::None) {
        const bool parity = wave.MarkAt(cellMiddle(cell++));
        allSpace = allSpace && !parity;
        if (parity != ParityBit(rx.parity, received.value)) {
            received.errors |= reg::lsr::Parity;
        }
    }
    // Only the first stop bit is checked, as on the 16550. A break is space for the whole
    // character time, up to the end of that stop bit.
    if (!wave.MarkAt(cellMiddle(cell))) {
        received.errors |= reg::lsr::Framing;
        const double frameEnd = (cell + 1.0) * static_cast<double>(rx.bitTime) - 1.0;
        if (allSpace && !wave.MarkAt(frameEnd)) {
            received.errors |= reg::lsr::Break;
        }
    }
    return received;
}

}  // namespace

LineFormat FormatOf(std::uint8_t lcr, std::uint16_t divisor, bool prescale, std::uint32_t clockHz) {
    LineFormat format;
    format.dataBits = static_cast<std::uint8_t>(5 + (lcr & reg::lcr::WordLengthMask));
    if ((lcr & reg::lcr::ParityEnable) == 0) {
        format.parity = Parity::None;
    } else if ((lcr & reg::lcr::StickParity) != 0) {
        format.parity = (lcr & reg::lcr::EvenParity) != 0 ? Parity::Space : Parity::Mark;
    } else {
        format.parity = (lcr & reg::lcr::EvenParity) != 0 ? Parity::Even : Parity::Odd;
    }
    if ((lcr & reg::lcr::StopBits) == 0) {
        format.stopHalfBits = 2;
    } else {
        format.stopHalfBits = format.dataBits == 5 ? 3 : 4;
    }
    if (divisor != 0 && clockHz != 0) {
        const double clocks = 16.0 * divisor * (prescale ? 4.0 : 1.0);
        format.bitTime = std::llround(clocks * static_cast<double>(PicosecondsPerSecond) / clockHz);
    }
    return format;
}

std::optional<ReceivedChar> Sample(const LineFormat& tx, std::uint8_t value, const LineFormat& rx,
                                   bool spaceFollows) {
    if (!tx.Runs()) {
        return std::nullopt;
    }
    if (tx == rx) {
        // The common case needs no sampling: same cells, same bits.
        return ReceivedChar{static_cast<std::uint8_t>(value & DataMask(rx.dataBits)), 0};
    }
    return SampleWave(CharWave{tx, value, spaceFollows}, rx);
}

std::optional<ReceivedChar> SampleSpace(SimTime duration, const LineFormat& rx) {
    return SampleWave(SpaceWave{duration}, rx);
}

}  // namespace sim
