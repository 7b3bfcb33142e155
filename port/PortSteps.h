// The small register steps that open, close and configuration share. Each reads the register it
// changes and writes the whole byte back, so bits it does not own stay as the channel holds them.
#pragma once

#include <cstdint>

struct PortRecord;

// Directions of SetSoftwareFlow.
constexpr std::uint8_t SoftwareFlowDirection0 = 0;
constexpr std::uint8_t SoftwareFlowDirection1 = 1;

void SetEnhancedMode(PortRecord* port, bool on);
void SetAutoCts(PortRecord* port, bool on);
void SetAutoRts(PortRecord* port, bool on);
void SetSoftwareFlow(PortRecord* port, std::uint8_t direction, bool on);
void SetFifoTriggers(PortRecord* port);
