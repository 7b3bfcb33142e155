// The interrupt side: the board raises one interrupt for all channels; the service finds pending
// channels through IntSummary and moves bytes between the FIFOs and the rings.
#pragma once

#include <cstdint>

// Filled once by board set-up before the interrupt is attached; handed to both routines.
struct IsrContext {
    volatile std::uint8_t* intSummaryAddr;  // IntSummary in channel 0's window
    volatile std::uint8_t* pinLevelAddr;    // PinLevel in channel 0's window, when pinPulse
    std::uint8_t pinPulse;                  // 1 on boards that pulse the pins while serving
};

extern IsrContext isrContext;

// Shared-interrupt pre-check: RtValue::PrecheckRunService when the board has one pending, else 0.
std::int32_t InterruptPrecheck(void* context);
// 1 when no channel was served, else the result of the last ServiceChannel.
std::uint8_t InterruptService(void* context);
// Serves one channel until it reports nothing pending: 0 if nothing was pending at first, else 1.
std::uint8_t ServiceChannel(std::uint8_t channel);
void TransmitService(std::uint8_t channel);
void ReceiveService(std::uint8_t channel);
