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
    {::Msr::Cts, "cts", &ModemStatus::cts},
    {::Msr::Dsr, "dsr", &ModemStatus::dsr},
    {::Msr::Ri, "ring", &ModemStatus::ring},
    {::Msr::Dcd, "dcd", &ModemStatus::dcd},
    {::Msr::DeltaCts, "cts-changed", &ModemStatus::ctsChanged},
    {::Msr::DeltaDsr, "dsr-changed", &ModemStatus::dsrChanged},
    {::Msr::TrailingRi, "ring-ended", &ModemStatus::ringEnded},
    {::Msr::DeltaDcd, "dcd-changed", &ModemStatus::dcdChanged},
};

constexpr FlagField<LineStatus> LineStatusFields[] = {
    {::Lsr::DataReady, "data-ready", &LineStatus::dataReady},
    {::Lsr::Overrun, "overrun", &LineStatus::overrun},
    {::Lsr::Parity, "parity-error", &LineStatus::parityError},
    {::Lsr::Framing, "framing-error", &LineStatus::framingError},
    {::Lsr::Break, "break", &LineStatus::breakReceived},
    {::Lsr::ThrEmpty, "holding-empty", &LineStatus::holdingEmpty},
    {::Lsr::TxEmpty, "transmitter-empty", &LineStatus::transmitterEmpty},
    {::Lsr::FifoError, "fifo-error", &LineStatus::fifoError},
};

constexpr FlagField<ModemControl> ModemControlFields[] = {
    {::ModemLines::Dtr, "dtr", &ModemControl::dtr},
    {::ModemLines::Rts, "rts", &ModemControl::rts},
};

constexpr FlagField<LineErrors> LineErrorFields[] = {
    {::Lsr::Overrun, "overrun", &LineErrors::overrun},
    {::Lsr::Parity, "parity-error", &LineErrors::parityError},
    {::Lsr::Framing, "framing-error", &LineErrors::framingError},
    {::Lsr::Break, "break", &LineErrors::breakReceived},
    {::Lsr::FifoError, "fifo-error", &LineErrors::fifoError},
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
