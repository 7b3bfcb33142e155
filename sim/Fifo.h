// A 64-entry hardware FIFO: a ring with a count. Depth limits (64, or 1 with the FIFOs off) are
// the channel's business, not the ring's.
#pragma once

#include <array>
#include <cstdint>

#include "sim/BoardRegisters.h"

namespace sim {

template <typename T>
class Fifo {
public:
    std::uint32_t Count() const { return count_; }
    bool Empty() const { return count_ == 0; }
    void Push(const T& value) {
        slots_[(head_ + count_) % reg::FifoDepth] = value;
        ++count_;
    }
    T Pop() {
        const T value = slots_[head_];
        head_ = (head_ + 1) % reg::FifoDepth;
        --count_;
        return value;
    }
    const T& Front() const { return slots_[head_]; }
    const T& At(std::uint32_t index) const { return slots_[(head_ + index) % reg::FifoDepth]; }
    void Clear() { head_ = count_ = 0; }

private:
    std::array<T, reg::FifoDepth> slots_{};
    std::uint32_t head_ = 0;
    std::uint32_t count_ = 0;
};

}  // namespace sim
