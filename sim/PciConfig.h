// The configuration space a PCI function answers with: a type-0 header in the first 64 bytes,
// zeros after it up to 256.
#pragma once

#include <array>
#include <cstdint>

#include "sim/Description.h"

namespace sim {

constexpr std::uint32_t ConfigSpaceSize = 256;

std::array<std::uint8_t, ConfigSpaceSize> ConfigSpaceOf(const FunctionDescription& function,
                                                        bool multiFunctionDevice);

}  // namespace sim
