#include "client/LineSignals.h"

namespace quelta {
namespace {

constexpr FlagName ModemStatusNames[] = {
    {MsrBit::Cts, "cts"},
    {MsrBit::Dsr, "dsr"},
    {MsrBit::Ring, "ring"},
    {MsrBit::Dcd, "dcd"},
    {MsrBit::CtsChanged, "cts-changed"},
    {MsrBit::DsrChanged, "dsr-changed"},
    {MsrBit::RingEnded, "ring-ended"},
    {MsrBit::DcdChanged, "dcd-changed"},
};

constexpr FlagName LineStatusNames[] = {
    {LsrBit::DataReady, "data-ready"},
    {LsrBit::Overrun, "overrun"},
    {LsrBit::ParityError, "parity-error"},
    {LsrBit::FramingError, "framing-error"},
    {LsrBit::BreakReceived, "break"},
    {LsrBit::HoldingEmpty, "holding-empty"},
    {LsrBit::TransmitterEmpty, "transmitter-empty"},
    {LsrBit::FifoError, "fifo-error"},
};

constexpr FlagName ModemControlNames[] = {
    {McrBit::Dtr, "dtr"},
    {McrBit::Rts, "rts"},
};

constexpr FlagName LineErrorNames[] = {
    {LsrBit::Overrun, "overrun"},
    {LsrBit::ParityError, "parity-error"},
    {LsrBit::FramingError, "framing-error"},
    {LsrBit::BreakReceived, "break"},
    {LsrBit::FifoError, "fifo-error"},
};

bool Has(std::uint8_t raw, std::uint8_t bit) { return (raw & bit) != 0; }

}  // namespace

ModemStatus ModemStatus::Decode(std::uint8_t raw) {
    ModemStatus status;
    status.raw = raw;
    status.ctsChanged = Has(raw, MsrBit::CtsChanged);
    status.dsrChanged = Has(raw, MsrBit::DsrChanged);
    status.ringEnded = Has(raw, MsrBit::RingEnded);
    status.dcdChanged = Has(raw, MsrBit::DcdChanged);
    status.cts = Has(raw, MsrBit::Cts);
    status.dsr = Has(raw, MsrBit::Dsr);
    status.ring = Has(raw, MsrBit::Ring);
    status.dcd = Has(raw, MsrBit::Dcd);
    return status;
}

LineStatus LineStatus::Decode(std::uint8_t raw) {
    LineStatus status;
    status.raw = raw;
    status.dataReady = Has(raw, LsrBit::DataReady);
    status.overrun = Has(raw, LsrBit::Overrun);
    status.parityError = Has(raw, LsrBit::ParityError);
    status.framingError = Has(raw, LsrBit::FramingError);
    status.breakReceived = Has(raw, LsrBit::BreakReceived);
    status.holdingEmpty = Has(raw, LsrBit::HoldingEmpty);
    status.transmitterEmpty = Has(raw, LsrBit::TransmitterEmpty);
    status.fifoError = Has(raw, LsrBit::FifoError);
    return status;
}

ModemControl ModemControl::Decode(std::uint8_t raw) {
    ModemControl control;
    control.raw = raw;
    control.dtr = Has(raw, McrBit::Dtr);
    control.rts = Has(raw, McrBit::Rts);
    return control;
}

LineErrors LineErrors::Decode(std::uint8_t raw) {
    LineErrors errors;
    errors.raw = raw;
    errors.overrun = Has(raw, LsrBit::Overrun);
    errors.parityError = Has(raw, LsrBit::ParityError);
    errors.framingError = Has(raw, LsrBit::FramingError);
    errors.breakReceived = Has(raw, LsrBit::BreakReceived);
    errors.fifoError = Has(raw, LsrBit::FifoError);
    return errors;
}

std::span<const FlagName> ModemStatusFlags() { return ModemStatusNames; }
std::span<const FlagName> LineStatusFlags() { return LineStatusNames; }
std::span<const FlagName> ModemControlFlags() { return ModemControlNames; }
std::span<const FlagName> LineErrorFlags() { return LineErrorNames; }

std::string FlagList(std::uint8_t raw, std::span<const FlagName> flags) {
    std::string list;
    for (const FlagName& flag : flags) {
        if (Has(raw, flag.bit)) {
            list += list.empty() ? "" : ", ";
            list += flag.name;
        }
    }
    return list.empty() ? "none" : list;
}

}  // namespace quelta
