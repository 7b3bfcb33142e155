#include "platform/rtx/ProcessEntry.h"

namespace {

constexpr std::uint32_t EntryFailed = 0xC0000145;  // the platform could not prepare the process
constexpr std::int32_t StartCameBack = -1;

}  // namespace

std::uint32_t RTAPI RtssProcessEntry(std::uint32_t first, std::uint32_t second) {
    if (__RtxProcessEntry() == 0) {
        return EntryFailed;
    }
    if (first != 0) {
        return static_cast<std::uint32_t>(_RtssAttachProcessW(first, second, ProcessStart));
    }
    ProcessStart();
    return static_cast<std::uint32_t>(StartCameBack);
}
