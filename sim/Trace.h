// The register access trace of QUELTA_SIM_TRACE: one line per access,
// `SEQ BOARD.CHANNEL R|W OFFSET VALUE`, numbered from 1 across the whole machine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace sim {

class Trace {
public:
    // Opens (truncates) the file; Ok() tells whether that worked.
    explicit Trace(const std::string& path);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    bool Ok() const { return file_ != nullptr; }
    void Record(std::uint32_t board, std::uint32_t window, char kind, std::uint32_t offset,
                std::uint8_t value);
    void Flush();

private:
    std::mutex lock_;
    std::FILE* file_;
    std::uint64_t sequence_ = 0;
};

}  // namespace sim
