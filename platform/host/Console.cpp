// Console and debugger output: standard output (flushed at once, so a supervisor sees each line as
// it is printed) and standard error.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/Rtss.h"

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::int32_t RTCDECL RtPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    return written;
}

// The wide console takes a 16-bit format. It knows the conversions the driver uses:
// %s (a 16-bit string), %d, %u, %x, %X and %%.
std::int32_t RTCDECL RtWprintf(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out;
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%' || p[1] == 0) {
            AppendUtf8(out, *p);
            continue;
        }
        ++p;
        char number[16];
        switch (*p) {
        case u's':
            for (const char16_t* s = va_arg(args, const char16_t*); *s != 0; ++s) {
                AppendUtf8(out, *s);
            }
            break;
        case u'd':
            std::snprintf(number, sizeof number, "%d", va_arg(args, int));
            out += number;
            break;
        case u'u':
            std::snprintf(number, sizeof number, "%u", va_arg(args, unsigned));
            out += number;
            break;
        case u'x':
            std::snprintf(number, sizeof number, "%x", va_arg(args, unsigned));
            out += number;
            break;
        case u'X':
            std::snprintf(number, sizeof number, "%X", va_arg(args, unsigned));
            out += number;
            break;
        default:
            AppendUtf8(out, *p);
            break;
        }
    }
    va_end(args);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return static_cast<std::int32_t>(out.size());
}

void RTAPI OutputDebugStringA(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}
