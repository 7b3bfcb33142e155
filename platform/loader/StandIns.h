// The stand-in platform that a target image is bound to: RTX_RTSS.SYS is the host backend itself,
// whose 32-bit build has the target's calling conventions (platform/Rtss.h); the C runtime's
// routines that the image imports from msvcrt.dll are the host's where they behave alike, and
// stand-ins with the target runtime's own behaviour where they do not.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "platform/loader/Image.h"

namespace loader {

std::span<const Library> StandInPlatform();

// The command line the runtime's start-up (__wgetmainargs) gives the image, its name first.
void SetImageCommandLine(const std::vector<std::string>& arguments);

// Enters the image as the platform's loader does: its entry with a non-zero first word, so that
// the image attaches (_RtssAttachProcessW runs its start routine). Returns what the entry
// returns, which a process image does only when its start routine comes back.
std::uint32_t EnterImage(const LoadedImage& image);

// The target runtime's _vsnprintf: a result that does not fit is cut to `size` characters with
// no terminator, and gives -1 unless exactly `size` characters were due.
std::int32_t RTCDECL RuntimeVsnprintf(char* buffer, std::size_t size, const char* format,
                                      va_list arguments) __attribute__((format(printf, 3, 0)));

// The target runtime's __wgetmainargs: the command line as 16-bit strings, and the environment.
std::int32_t RTCDECL RuntimeWgetmainargs(std::int32_t* argc, char16_t*** argv,
                                         char16_t*** environment, std::int32_t expandWildcards,
                                         void* startupInfo);

}  // namespace loader
