#include "port/PortReport.h"

#include "hw/Registers.h"

PortReport PortReports[MaxPorts] = {};

namespace {

void CountIf(bool happened, SharedWord& count) {
    if (happened) {
        count.store(count.load() + 1);
    }
}

void GatherLineErrors(PortRecord* port, std::uint8_t bits) {
    port->lineErrors.store(static_cast<std::uint8_t>(port->lineErrors.load() | bits));
}

}  // namespace

void StartPortReport(std::uint8_t portIndex, const LineConfig& opened, std::uint16_t divisor) {
    PortReport& report = PortReports[portIndex];
    report.overruns.store(0);
    report.parityErrors.store(0);
    report.framingErrors.store(0);
    report.breaks.store(0);
    report.ringOverruns.store(0);
    report.inForce = opened;
    report.divisor = divisor;
    report.receiveTrigger = FifoTrig::DefaultLevel;
    report.configured = 0;
}

void NoteSettingsInForce(std::uint8_t portIndex, const LineConfig& config, std::uint16_t divisor) {
    PortReports[portIndex].inForce = config;
    PortReports[portIndex].divisor = divisor;
    PortReports[portIndex].configured = 1;
}

void NotePortClosed(std::uint8_t portIndex) { PortReports[portIndex].configured = 0; }

void NoteLineErrors(std::uint8_t portIndex, PortRecord* port, std::uint8_t lsrErrors) {
    const std::uint8_t errors = lsrErrors & Lsr::ErrorMask;
    if (errors == 0) {
        return;
    }
    GatherLineErrors(port, errors);
    PortReport& report = PortReports[portIndex];
    CountIf((errors & Lsr::Overrun) != 0, report.overruns);
    // A break is a character of zero bits: the channel flags it with framing and parity errors
    // that say nothing more, so it counts as a break alone.
    const bool isBreak = (errors & Lsr::Break) != 0;
    CountIf(isBreak, report.breaks);
    CountIf(!isBreak && (errors & Lsr::Parity) != 0, report.parityErrors);
    CountIf(!isBreak && (errors & Lsr::Framing) != 0, report.framingErrors);
}

void NoteRingOverrun(std::uint8_t portIndex, PortRecord* port) {
    GatherLineErrors(port, Lsr::Overrun);
    CountIf(true, PortReports[portIndex].ringOverruns);
}
