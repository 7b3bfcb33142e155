#include "tools/cli/HexDump.h"

#include <cstdio>

namespace tool {
namespace {

constexpr std::size_t BytesPerLine = 16;

std::string Offset(std::size_t offset) {
    char text[24];
    std::snprintf(text, sizeof text, "%08zx", offset);
    return text;
}

}  // namespace

std::vector<std::string> HexDump::Add(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> lines;
    for (const std::uint8_t byte : bytes) {
        pending_.push_back(byte);
        if (pending_.size() == BytesPerLine) {
            lines.push_back(PendingLine());
            offset_ += pending_.size();
            pending_.clear();
        }
    }
    return lines;
}

std::vector<std::string> HexDump::Finish() {
    if (offset_ == 0 && pending_.empty()) return {};
    std::vector<std::string> lines;
    if (!pending_.empty()) lines.push_back(PendingLine());
    offset_ += pending_.size();
    pending_.clear();
    lines.push_back(Offset(offset_));
    return lines;
}

std::string HexDump::PendingLine() const {
    std::string line = Offset(offset_) + " ";
    std::string text;
    for (std::size_t i = 0; i < BytesPerLine; ++i) {
        if (i % 8 == 0) line += ' ';
        if (i < pending_.size()) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x ", pending_[i]);
            line += hex;
            const bool printable = pending_[i] >= 0x20 && pending_[i] < 0x7F;
            text += printable ? static_cast<char>(pending_[i]) : '.';
        } else {
            line += "   ";
        }
    }
    return line + " |" + text + "|";
}

}  // namespace tool
