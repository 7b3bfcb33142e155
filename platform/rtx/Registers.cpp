// Board registers on the uncached mapping: each access one byte, through a volatile pointer, so
// the compiler neither merges, splits, reorders nor drops it.
#include "platform/Rtss.h"

std::uint8_t RtLoadRegister8(const volatile std::uint8_t* address) { return *address; }

void RtStoreRegister8(volatile std::uint8_t* address, std::uint8_t value) { *address = value; }
