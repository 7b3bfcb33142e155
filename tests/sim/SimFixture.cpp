#include "tests/sim/SimFixture.h"

#include <cmath>

namespace simtest {

using namespace sim::reg;

std::unique_ptr<sim::Machine> ManualMachine(std::string_view description) {
    sim::MachineOptions options;
    options.manualTime = true;
    sim::LoadedMachine loaded = sim::LoadMachine(description, "test", options);
    if (!loaded.machine) {
        ADD_FAILURE() << loaded.error;
    }
    return std::move(loaded.machine);
}

BoardTest::BoardTest(std::string_view description) : machine_(ManualMachine(description)) {}

std::uint8_t BoardTest::Read(std::uint32_t channel, std::uint32_t reg) {
    return Board().Load(channel * WindowSize + reg);
}

void BoardTest::Write(std::uint32_t channel, std::uint32_t reg, std::uint8_t value) {
    Board().Store(channel * WindowSize + reg, value);
}

void BoardTest::RunChars(double characters) {
    Run(static_cast<sim::SimTime>(std::llround(characters * static_cast<double>(CharTime8N1))));
}

void BoardTest::LoadDivisor(std::uint32_t channel, std::uint16_t divisor) {
    const std::uint8_t lcr = Read(channel, Lcr);
    Write(channel, Lcr, static_cast<std::uint8_t>(lcr | lcr::Dlab));
    Write(channel, Rhr, static_cast<std::uint8_t>(divisor & 0xFF));
    Write(channel, Ier, static_cast<std::uint8_t>(divisor >> 8));
    Write(channel, Lcr, lcr);
}

void BoardTest::Configure(std::uint32_t channel, std::uint16_t divisor, std::uint8_t lcr,
                          std::uint8_t txTrigger, std::uint8_t rxTrigger, std::uint8_t ier) {
    Write(channel, Iir, fcr::Enable | fcr::ResetRx | fcr::ResetTx);
    Write(channel, FifoTrigCtl, fifotrig::ProgrammedLevels);
    Write(channel, TxLevel, txTrigger);
    Write(channel, RxLevel, rxTrigger);
    Write(channel, Lcr, lcr);
    LoadDivisor(channel, divisor);
    Write(channel, Ier, ier);
}

void BoardTest::Send(std::uint32_t channel, std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        Write(channel, FifoWindowStart + static_cast<std::uint32_t>(i % 64),
              static_cast<std::uint8_t>(bytes[i]));
    }
}

std::string BoardTest::Drain(std::uint32_t channel) {
    std::string bytes;
    const std::uint32_t level = Read(channel, RxLevel);
    for (std::uint32_t i = 0; i < level; ++i) {
        bytes.push_back(static_cast<char>(Read(channel, FifoWindowStart + i)));
    }
    return bytes;
}

}  // namespace simtest
