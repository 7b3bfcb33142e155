#include "sim/Trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace sim {

// The trace often goes to /tmp: a link planted there by another user must not make the driver
// truncate a file of the user who runs it.
Trace::Trace(const std::string& path)
    : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
               S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH)) {}

Trace::~Trace() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Trace::Record(std::uint32_t board, std::uint32_t window, char kind, std::uint32_t offset,
                   std::uint8_t value) {
    const std::lock_guard guard(lock_);
    if (fd_ < 0) {
        return;
    }
    char line[80];
    const int length =
        std::snprintf(line, sizeof line, "%" PRIu64 " %u.%u %c 0x%03X 0x%02X\n", ++sequence_, board,
                      window, kind, offset, static_cast<unsigned>(value));
    // A regular file takes the whole line at once; an interrupted write is only retried.
    while (write(fd_, line, static_cast<std::size_t>(length)) < 0 && errno == EINTR) {}
}

}  // namespace sim
