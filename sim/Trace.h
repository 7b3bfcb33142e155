// The register access trace of QUELTA_SIM_TRACE: one line per access,
// `SEQ BOARD.CHANNEL R|W OFFSET VALUE`, numbered from 1 across the whole machine.
//
// Each line goes to the file with its own write as the access happens, so `tail -f` follows a
// running driver and whatever ends the process (a crash, an abort, SIGKILL) leaves every access
// made before it in the file: a trace is wanted most when the driver did not end in order.
#pragma once

#include <cstdint>
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

    bool Ok() const { return fd_ >= 0; }
    void Record(std::uint32_t board, std::uint32_t window, char kind, std::uint32_t offset,
                std::uint8_t value);

private:
    std::mutex lock_;  // one sequence, and lines never interleaved
    int fd_;
    std::uint64_t sequence_ = 0;
};

}  // namespace sim
