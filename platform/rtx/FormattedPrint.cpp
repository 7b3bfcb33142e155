// Formatted printing into a buffer comes from the platform's C runtime, whose routine is
// _vsnprintf. The C++ library's headers route snprintf to a replacement of their own (C99
// results, linked into the image); this gives that name to the runtime's routine instead, with the
// one difference the driver could see mended: a result that fills the buffer still ends in a
// terminator. (The count returned for a cut result stays the runtime's -1; the driver reads the
// buffer only.)
#include <cstdarg>
#include <cstddef>

#include "platform/Rtss.h"

extern "C" {

std::int32_t RTCDECL _vsnprintf(char* buffer, std::size_t size, const char* format,
                                std::va_list arguments);

std::int32_t RTCDECL __mingw_vsnprintf(char* buffer, std::size_t size, const char* format,
                                       std::va_list arguments) {
    const std::int32_t written = _vsnprintf(buffer, size, format, arguments);
    if (size != 0 && (written < 0 || static_cast<std::size_t>(written) >= size)) {
        buffer[size - 1] = '\0';
    }
    return written;
}

}  // extern "C"
