#include "client/DeviceName.h"

#include <algorithm>
#include <cctype>

#include "client/Error.h"
#include "client/SharedObjects.h"
#include "wire/RequestBlock.h"

namespace quelta {
namespace {

// The driver copies a device name into a 100-byte buffer with its terminator.
constexpr std::size_t MaxDeviceNameLength = 99;
constexpr std::string_view Prefix = DeviceNamePrefix;

// Orders "Serial2" before "Serial10": runs of digits compare by value.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])) != 0)
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])) != 0)
                ++endB;
            std::string_view numberA(a.data() + i, endA - i);
            std::string_view numberB(b.data() + j, endB - j);
            while (numberA.size() > 1 && numberA.front() == '0') numberA.remove_prefix(1);
            while (numberB.size() > 1 && numberB.front() == '0') numberB.remove_prefix(1);
            if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
            if (numberA != numberB) return numberA < numberB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::string FullDeviceName(std::string_view name) {
    std::string full;
    if (name.find('\\') == std::string_view::npos) {
        full = std::string(Prefix) + std::string(name);
    } else {
        full = std::string(name);
        if (!full.starts_with(Prefix)) {
            throw Error(ErrorCode::InvalidArgument, "not a Quelta device name: " + full +
                                                        " (expected \\RtDevice\\Quelta\\NAME)");
        }
    }
    const std::string_view shortPart = std::string_view(full).substr(Prefix.size());
    if (shortPart.empty()) {
        throw Error(ErrorCode::InvalidArgument, "empty device name");
    }
    if (shortPart.find_first_of("/\\") != std::string_view::npos) {
        throw Error(ErrorCode::InvalidArgument, "device name may not contain '/' or '\\': " + full);
    }
    if (full.size() > MaxDeviceNameLength) {
        throw Error(ErrorCode::InvalidArgument, "device name too long: " + full);
    }
    return full;
}

std::string ShortDeviceName(std::string_view name) {
    if (name.starts_with(Prefix)) {
        name.remove_prefix(Prefix.size());
    }
    return std::string(name);
}

std::vector<std::string> ListDevices() {
    std::vector<std::string> devices = FindDeviceObjects();
    std::sort(devices.begin(), devices.end(), NaturalLess);
    return devices;
}

}  // namespace quelta
