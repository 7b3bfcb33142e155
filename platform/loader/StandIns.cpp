#include "platform/loader/StandIns.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace loader {
namespace {

// Any value the first entry word takes makes the image attach; the platform's meaning of it is
// its own.
constexpr std::uint32_t AttachingEntry = 1;
constexpr char16_t Replacement = 0xFFFD;  // for bytes that are not UTF-8

template <typename Function>
Export Routine(std::string_view name, Function* function) {
    return {name, reinterpret_cast<std::uintptr_t>(function)};
}

// The platform's operations that the driver imports, by the names the image asks for.
#define PLATFORM_OPERATION(name) Routine(#name, &name)
const Export PlatformOperations[] = {
    PLATFORM_OPERATION(__RtxProcessEntry),
    PLATFORM_OPERATION(_RtssAttachProcessW),
    PLATFORM_OPERATION(RtPrintf),
    PLATFORM_OPERATION(RtWprintf),
    PLATFORM_OPERATION(OutputDebugStringA),
    PLATFORM_OPERATION(GetLastError),
    PLATFORM_OPERATION(SetLastError),
    PLATFORM_OPERATION(RtAllocateLockedMemory),
    PLATFORM_OPERATION(RtFreeLockedMemory),
    PLATFORM_OPERATION(RtGetBusDataByOffset),
    PLATFORM_OPERATION(RtTranslateBusAddress),
    PLATFORM_OPERATION(RtMapMemory),
    PLATFORM_OPERATION(RtAttachInterruptVector),
    PLATFORM_OPERATION(RtAttachInterruptVectorEx),
    PLATFORM_OPERATION(RtCreateSharedMemoryA),
    PLATFORM_OPERATION(RtCreateSemaphoreA),
    PLATFORM_OPERATION(RtCreateMutexA),
    PLATFORM_OPERATION(RtWaitForSingleObject),
    PLATFORM_OPERATION(RtReleaseSemaphore),
    PLATFORM_OPERATION(RtCloseHandle),
    PLATFORM_OPERATION(CreateThread),
    PLATFORM_OPERATION(RtSetThreadPriority),
    PLATFORM_OPERATION(ResumeThread),
    PLATFORM_OPERATION(SuspendThread),
    PLATFORM_OPERATION(GetCurrentThread),
    PLATFORM_OPERATION(ExitThread),
    PLATFORM_OPERATION(ExitProcess),
    PLATFORM_OPERATION(Sleep),
};
#undef PLATFORM_OPERATION

// Decimal conversion, string length and comparison, memory copy and fill mean the same in both
// runtimes (long is 32 bits on either side).
const Export RuntimeRoutines[] = {
    Routine("_vsnprintf", &RuntimeVsnprintf), Routine("__wgetmainargs", &RuntimeWgetmainargs),
    Routine("strtol", &std::strtol),          Routine("strlen", &std::strlen),
    Routine("strncmp", &std::strncmp),        Routine("memcpy", &std::memcpy),
    Routine("memset", &std::memset),
};

const Library Libraries[] = {
    {"RTX_RTSS.SYS", PlatformOperations},
    {"msvcrt.dll", RuntimeRoutines},
};

std::u16string Utf16(std::string_view text) {
    std::u16string wide;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80   ? 0
                          : lead < 0xC0 ? -1  // a continuation byte cannot lead
                          : lead < 0xE0 ? 1
                          : lead < 0xF0 ? 2
                          : lead < 0xF8 ? 3
                                        : -1;
        bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
        char32_t code = !valid ? 0 : extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        if (!valid || code > 0x10FFFF) {
            wide += Replacement;
            i += 1;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += static_cast<char16_t>(0xD800 | code >> 10);
            wide += static_cast<char16_t>(0xDC00 | (code & 0x3FF));
        } else {
            wide += static_cast<char16_t>(code);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return wide;
}

// A vector of 16-bit strings that lives as long as the process, as the runtime's does.
struct WideVector {
    std::vector<std::u16string> strings;
    std::vector<char16_t*> pointers;

    void Assign(const std::vector<std::string>& texts) {
        strings.clear();
        for (const std::string& text : texts) strings.push_back(Utf16(text));
        pointers.clear();
        for (std::u16string& text : strings) pointers.push_back(text.data());
        pointers.push_back(nullptr);
    }
};

std::mutex commandLineLock;
WideVector arguments;
WideVector environment;

}  // namespace

std::span<const Library> StandInPlatform() { return Libraries; }

void SetImageCommandLine(const std::vector<std::string>& texts) {
    const std::lock_guard guard(commandLineLock);
    arguments.Assign(texts);
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    environment.Assign(variables);
}

std::uint32_t EnterImage(const LoadedImage& image) {
    using Entry = std::uint32_t(RTAPI*)(std::uint32_t first, std::uint32_t second);
    return reinterpret_cast<Entry>(image.EntryPoint())(AttachingEntry, 0);
}

std::int32_t RTCDECL RuntimeVsnprintf(char* buffer, std::size_t size, const char* format,
                                      va_list arguments) {
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) return -1;
    const auto needed = static_cast<std::size_t>(length);
    if (needed < size) {
        std::vsnprintf(buffer, size, format, arguments);
        return length;
    }
    std::string whole(needed, '\0');
    std::vsnprintf(whole.data(), needed + 1, format, arguments);
    std::memcpy(buffer, whole.data(), size);
    return needed == size ? length : -1;
}

std::int32_t RTCDECL RuntimeWgetmainargs(std::int32_t* argc, char16_t*** argv,
                                         char16_t*** environmentVector,
                                         std::int32_t /*expandWildcards*/, void* /*startupInfo*/) {
    const std::lock_guard guard(commandLineLock);
    if (arguments.pointers.empty()) arguments.Assign({});
    if (environment.pointers.empty()) environment.Assign({});
    *argc = static_cast<std::int32_t>(arguments.strings.size());
    *argv = arguments.pointers.data();
    *environmentVector = environment.pointers.data();
    return 0;
}

}  // namespace loader
