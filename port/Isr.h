// The interrupt side: the board raises one interrupt for all channels; the service finds pending
// channels through IntSummary and moves bytes between the FIFOs and the rings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Rtss.h"

// Filled once by board set-up before the interrupt is attached; handed to both routines.
struct IsrContext {
    volatile std::uint8_t* intSummaryAddr;  // IntSummary in channel 0's window
    volatile std::uint8_t* pinLevelAddr;    // PinLevel in channel 0's window, when pinPulse
    std::uint8_t pinPulse;                  // 1 on boards that pulse the pins while serving
};

static_assert(sizeof(void*) != 4 ||
              (offsetof(IsrContext, pinLevelAddr) == 4 && offsetof(IsrContext, pinPulse) == 8 &&
               sizeof(IsrContext) == 12));

extern IsrContext isrContext;

// A channel whose IIR never reports "nothing pending" would keep the service in one channel for
// ever. A real channel settles within a few passes (each pass drains or fills a whole FIFO); after
// this many the service moves on, and the interrupt line, still asserted, brings it back.
constexpr std::uint32_t MaxChannelPasses = 1024;

// Shared-interrupt pre-check: RtValue::PrecheckRunService when the board has one pending, else 0.
std::int32_t RTFCNDCL InterruptPrecheck(void* context);
// Serves the pending channels, lowest first, each until it reports nothing pending. 1 when no
// channel was served; else 0 when the last channel served had nothing pending at its first look,
// 1 when it had.
RtBoolean RTFCNDCL InterruptService(void* context);
