#include "sim/Trace.h"

#include <cinttypes>

namespace sim {

Trace::Trace(const std::string& path) : file_(std::fopen(path.c_str(), "w")) {}

Trace::~Trace() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void Trace::Record(std::uint32_t board, std::uint32_t window, char kind, std::uint32_t offset,
                   std::uint8_t value) {
    const std::lock_guard guard(lock_);
    if (file_ == nullptr) {
        return;
    }
    std::fprintf(file_, "%" PRIu64 " %u.%u %c 0x%03X 0x%02X\n", ++sequence_, board, window, kind,
                 offset, static_cast<unsigned>(value));
}

void Trace::Flush() {
    const std::lock_guard guard(lock_);
    if (file_ != nullptr) {
        std::fflush(file_);
    }
}

}  // namespace sim
