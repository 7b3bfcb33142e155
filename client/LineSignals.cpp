#include "client/LineSignals.h"

#include <array>

namespace quelta {
namespace {

// One table per record: the bit, its printed name and the flag it sets. Decoding and the name
// lists both come from it.
template <typename Record>
struct FlagField {
    std::uint8_t bit;
    const char* name;
    bool Record::*flag;
};

constexpr FlagField<ModemStatus> ModemStatusFields[] = {
    {MsrBit::Cts, "cts", &ModemStatus::cts},
    {MsrBit::Dsr, "dsr", &ModemStatus::dsr},
    {MsrBit::Ring, "ring", &ModemStatus::ring},
    {MsrBit::Dcd, "dcd", &ModemStatus::dcd},
    {MsrBit::CtsChanged, "cts-changed", &ModemStatus::ctsChanged},
    {MsrBit::DsrChanged, "dsr-changed", &ModemStatus::dsrChanged},
    {MsrBit::RingEnded, "ring-ended", &ModemStatus::ringEnded},
    {MsrBit::DcdChanged, "dcd-changed", &ModemStatus::dcdChanged},
};

constexpr FlagField<LineStatus> LineStatusFields[] = {
    {LsrBit::DataReady, "data-ready", &LineStatus::dataReady},
    {LsrBit::Overrun, "overrun", &LineStatus::overrun},
    {LsrBit::ParityError, "parity-error", &LineStatus::parityError},
    {LsrBit::FramingError, "framing-error", &LineStatus::framingError},
    {LsrBit::BreakReceived, "break", &LineStatus::breakReceived},
    {LsrBit::HoldingEmpty, "holding-empty", &LineStatus::holdingEmpty},
    {LsrBit::TransmitterEmpty, "transmitter-empty", &LineStatus::transmitterEmpty},
    {LsrBit::FifoError, "fifo-error", &LineStatus::fifoError},
};

constexpr FlagField<ModemControl> ModemControlFields[] = {
    {McrBit::Dtr, "dtr", &ModemControl::dtr},
    {McrBit::Rts, "rts", &ModemControl::rts},
};

constexpr FlagField<LineErrors> LineErrorFields[] = {
    {LsrBit::Overrun, "overrun", &LineErrors::overrun},
    {LsrBit::ParityError, "parity-error", &LineErrors::parityError},
    {LsrBit::FramingError, "framing-error", &LineErrors::framingError},
    {LsrBit::BreakReceived, "break", &LineErrors::breakReceived},
    {LsrBit::FifoError, "fifo-error", &LineErrors::fifoError},
};

template <typename Record, std::size_t N>
Record DecodeWith(std::uint8_t raw, const FlagField<Record> (&fields)[N]) {
    Record record;
    record.raw = raw;
    for (const FlagField<Record>& field : fields) {
        record.*field.flag = (raw & field.bit) != 0;
    }
    return record;
}

template <typename Record, std::size_t N>
constexpr std::array<FlagName, N> NamesOf(const FlagField<Record> (&fields)[N]) {
    std::array<FlagName, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = FlagName{fields[i].bit, fields[i].name};
    return names;
}

constexpr auto ModemStatusNames = NamesOf(ModemStatusFields);
constexpr auto LineStatusNames = NamesOf(LineStatusFields);
constexpr auto ModemControlNames = NamesOf(ModemControlFields);
constexpr auto LineErrorNames = NamesOf(LineErrorFields);

}  // namespace

ModemStatus ModemStatus::Decode(std::uint8_t raw) { return DecodeWith(raw, ModemStatusFields); }
LineStatus LineStatus::Decode(std::uint8_t raw) { return DecodeWith(raw, LineStatusFields); }
ModemControl ModemControl::Decode(std::uint8_t raw) { return DecodeWith(raw, ModemControlFields); }
LineErrors LineErrors::Decode(std::uint8_t raw) { return DecodeWith(raw, LineErrorFields); }

std::span<const FlagName> ModemStatusFlags() { return ModemStatusNames; }
std::span<const FlagName> LineStatusFlags() { return LineStatusNames; }
std::span<const FlagName> ModemControlFlags() { return ModemControlNames; }
std::span<const FlagName> LineErrorFlags() { return LineErrorNames; }

std::string FlagList(std::uint8_t raw, std::span<const FlagName> flags) {
    std::string list;
    for (const FlagName& flag : flags) {
        if ((raw & flag.bit) != 0) {
            list += list.empty() ? "" : ", ";
            list += flag.name;
        }
    }
    return list.empty() ? "none" : list;
}

}  // namespace quelta
