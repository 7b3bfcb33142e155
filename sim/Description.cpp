#include "sim/Description.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <sstream>

namespace sim {
namespace {

constexpr std::string_view DefaultBus =
    "# One PCI bus: a host bridge of another vendor, and an 8-channel Quelta board on IRQ 5\n"
    "# whose channels are wired in null-modem pairs.\n"
    "buses 1\n"
    "function bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237\n";
constexpr std::string_view DefaultWiring =
    "channel 0 null-modem 1\n"
    "channel 2 null-modem 3\n"
    "channel 4 null-modem 5\n"
    "channel 6 null-modem 7\n";

constexpr std::uint32_t DefaultBarBase = 0xF0000000;
constexpr std::uint32_t DefaultBarStride = 0x00100000;
constexpr std::uint32_t DefaultClockHz = 14'745'600;

struct Failure {
    std::string what;
};

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t Number(std::string_view text, std::string_view what, std::uint64_t low,
                     std::uint64_t high) {
    const auto value = ParseNumber(text);
    if (!value) {
        throw Failure{std::string(what) + ": '" + std::string(text) + "' is not a number"};
    }
    if (*value < low || *value > high) {
        std::ostringstream out;
        out << what << ": " << text << " is out of range (" << low << " to " << high << ")";
        throw Failure{out.str()};
    }
    return *value;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

// key=value words of a function or board statement, each key at most once and known.
std::map<std::string, std::string_view> Keys(const std::vector<std::string_view>& words,
                                             std::string_view statement,
                                             const std::set<std::string>& allowed) {
    std::map<std::string, std::string_view> keys;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::size_t equals = words[i].find('=');
        if (equals == std::string_view::npos || equals == 0) {
            throw Failure{std::string(statement) + ": expected key=value, found '" +
                          std::string(words[i]) + "'"};
        }
        std::string key(words[i].substr(0, equals));
        if (allowed.count(key) == 0) {
            throw Failure{std::string(statement) + ": unknown key '" + key + "'"};
        }
        if (!keys.emplace(key, words[i].substr(equals + 1)).second) {
            throw Failure{std::string(statement) + ": " + key + "= given twice"};
        }
    }
    return keys;
}

std::string_view Required(const std::map<std::string, std::string_view>& keys,
                          std::string_view statement, const std::string& key) {
    const auto found = keys.find(key);
    if (found == keys.end()) {
        throw Failure{std::string(statement) + ": " + key + "= is missing"};
    }
    return found->second;
}

class Parser {
public:
    ParsedDescription Run(std::string_view text) {
        std::uint32_t lineNumber = 0;
        try {
            for (const std::string_view line : Split(text, '\n')) {
                ++lineNumber;
                const auto words = Words(line.substr(0, line.find('#')));
                if (!words.empty()) {
                    Statement(words, lineNumber);
                }
            }
            Finish();
        } catch (const Failure& failure) {
            return ParsedDescription{std::nullopt, DescriptionError{lineNumber, failure.what}};
        } catch (const LateFailure& failure) {
            return ParsedDescription{std::nullopt, DescriptionError{failure.line, failure.what}};
        }
        return ParsedDescription{std::move(description_), {}};
    }

private:
    struct LateFailure {
        std::uint32_t line;
        std::string what;
    };

    void Statement(const std::vector<std::string_view>& words, std::uint32_t line) {
        const std::string_view keyword = words[0];
        if (keyword == "buses") {
            Buses(words, line);
        } else if (keyword == "function") {
            Function(words, line, false);
        } else if (keyword == "board") {
            Function(words, line, true);
        } else if (keyword == "channel") {
            Channel(words, line);
        } else if (keyword == "pace") {
            Pace(words, line);
        } else {
            throw Failure{"unknown statement '" + std::string(keyword) + "'"};
        }
    }

    void Once(std::uint32_t& seenOn, std::uint32_t line, std::string_view what) {
        if (seenOn != 0) {
            throw Failure{std::string(what) + ": already given on line " + std::to_string(seenOn)};
        }
        seenOn = line;
    }

    void Buses(const std::vector<std::string_view>& words, std::uint32_t line) {
        Once(busesLine_, line, "buses");
        if (words.size() != 2) {
            throw Failure{"buses: expected a count or a list such as 0,2,3"};
        }
        std::set<std::uint32_t> buses;
        if (words[1].find(',') == std::string_view::npos) {
            const auto count = Number(words[1], "buses", 0, 256);
            for (std::uint32_t bus = 0; bus < count; ++bus) {
                buses.insert(bus);
            }
        } else {
            for (const std::string_view part : Split(words[1], ',')) {
                if (!buses.insert(static_cast<std::uint32_t>(Number(part, "buses", 0, 255)))
                         .second) {
                    throw Failure{"buses: bus " + std::string(part) + " listed twice"};
                }
            }
        }
        description_.buses.assign(buses.begin(), buses.end());
    }

    void Function(const std::vector<std::string_view>& words, std::uint32_t line, bool board) {
        const std::string_view statement = board ? "board" : "function";
        const std::set<std::string> allowed =
            board ? std::set<std::string>{"bus",       "device", "function", "device-id",
                                          "subsystem", "irq",    "clock",    "subsystem-vendor",
                                          "vendor",    "eeprom", "bar0"}
                  : std::set<std::string>{"bus",       "device",           "function",  "vendor",
                                          "device-id", "subsystem-vendor", "subsystem", "irq"};
        const auto keys = Keys(words, statement, allowed);
        const auto number = [&](const std::string& key, std::uint64_t high) {
            return Number(Required(keys, statement, key), std::string(statement) + " " + key, 0,
                          high);
        };
        const auto optional = [&](const std::string& key, std::uint64_t fallback,
                                  std::uint64_t high) {
            return keys.count(key) != 0 ? number(key, high) : fallback;
        };
        FunctionDescription f;
        f.isBoard = board;
        f.line = line;
        f.bus = static_cast<std::uint32_t>(number("bus", 255));
        f.device = static_cast<std::uint32_t>(number("device", 31));
        f.function = static_cast<std::uint32_t>(number("function", 7));
        f.deviceId = static_cast<std::uint16_t>(number("device-id", 0xFFFF));
        if (board) {
            f.vendor = static_cast<std::uint16_t>(optional("vendor", 0x13A8, 0xFFFF));
            f.subsystemVendor =
                static_cast<std::uint16_t>(optional("subsystem-vendor", 0x12C4, 0xFFFF));
            f.subsystemId = static_cast<std::uint16_t>(number("subsystem", 0xFFFF));
            f.irq = static_cast<std::uint8_t>(number("irq", 255));
            f.hasIrq = true;
            BoardMemory(keys, f);
        } else {
            f.vendor = static_cast<std::uint16_t>(number("vendor", 0xFFFF));
            if (f.vendor == 0xFFFF) {
                throw Failure{"function: vendor 0xFFFF means an empty slot"};
            }
            f.subsystemVendor = static_cast<std::uint16_t>(optional("subsystem-vendor", 0, 0xFFFF));
            f.subsystemId = static_cast<std::uint16_t>(optional("subsystem", 0, 0xFFFF));
            f.hasIrq = keys.count("irq") != 0;
            f.irq = static_cast<std::uint8_t>(optional("irq", 0xFF, 255));
        }
        for (const FunctionDescription& other : description_.functions) {
            if (other.bus == f.bus && other.device == f.device && other.function == f.function) {
                throw Failure{std::string(statement) + ": bus " + std::to_string(f.bus) +
                              " device " + std::to_string(f.device) + " function " +
                              std::to_string(f.function) + " is already taken on line " +
                              std::to_string(other.line)};
            }
        }
        description_.functions.push_back(f);
        boardIndex_ = board ? static_cast<int>(description_.functions.size() - 1) : -1;
        wiredOn_.fill(0);
    }

    // The EEPROM contents and the UART clock: clock= fills words 4 (low) and 5 (high); raw
    // eeprom= words stand for themselves and the oscillator is taken from the same two words
    // when they hold a plausible clock.
    void BoardMemory(const std::map<std::string, std::string_view>& keys, FunctionDescription& f) {
        const bool hasClock = keys.count("clock") != 0;
        const bool hasWords = keys.count("eeprom") != 0;
        if (hasClock == hasWords) {
            throw Failure{"board: give either clock= or eeprom="};
        }
        f.eeprom.fill(0xFFFF);  // erased cells read all ones
        if (hasClock) {
            f.clockHz =
                static_cast<std::uint32_t>(Number(keys.at("clock"), "board clock", 1, 0xFFFFFFFF));
            f.eeprom[0] = f.vendor;
            f.eeprom[1] = f.deviceId;
            f.eeprom[2] = f.subsystemVendor;
            f.eeprom[3] = f.subsystemId;
            f.eeprom[4] = static_cast<std::uint16_t>(f.clockHz & 0xFFFF);
            f.eeprom[5] = static_cast<std::uint16_t>(f.clockHz >> 16);
        } else {
            const auto words = Split(keys.at("eeprom"), ',');
            if (words.size() > Eeprom::WordCount) {
                throw Failure{"board eeprom: more than 64 words"};
            }
            for (std::size_t i = 0; i < words.size(); ++i) {
                f.eeprom[i] =
                    static_cast<std::uint16_t>(Number(words[i], "board eeprom", 0, 0xFFFF));
            }
            const std::uint32_t stored = (std::uint32_t{f.eeprom[5]} << 16) | f.eeprom[4];
            f.clockHz = stored >= 1000 && stored <= 200'000'000 ? stored : DefaultClockHz;
        }
        if (keys.count("bar0") != 0) {
            const std::uint32_t length = RegionLengthFor(f.deviceId);
            f.bar0 =
                static_cast<std::uint32_t>(Number(keys.at("bar0"), "board bar0", 1, 0xFFFFFFFF));
            if (f.bar0 % length != 0) {
                throw Failure{"board bar0: must be aligned to the region length " +
                              std::to_string(length)};
            }
        }
    }

    void Channel(const std::vector<std::string_view>& words, std::uint32_t line) {
        if (boardIndex_ < 0) {
            throw Failure{"channel: no board line above it"};
        }
        FunctionDescription& board = description_.functions[static_cast<std::size_t>(boardIndex_)];
        const std::uint32_t count = RegionLengthFor(board.deviceId) / reg::WindowSize;
        const auto channelNumber = [&](std::string_view text) {
            return static_cast<std::uint32_t>(Number(text, "channel", 0, count - 1));
        };
        if (words.size() < 3) {
            throw Failure{
                "channel: expected 'channel N null-modem M', 'pty [PATH]', 'loopback' or 'open'"};
        }
        const std::uint32_t n = channelNumber(words[1]);
        Unwired(n);
        const std::string_view kind = words[2];
        LineDescription& wiring = board.lines[n];
        if (kind == "null-modem") {
            if (words.size() != 4) {
                throw Failure{"channel: null-modem needs the other channel's number"};
            }
            const std::uint32_t m = channelNumber(words[3]);
            if (m == n) {
                throw Failure{
                    "channel: a channel cannot be its own null-modem peer (use loopback)"};
            }
            Unwired(m);
            wiring = {LineKind::NullModem, m, {}};
            board.lines[m] = {LineKind::NullModem, n, {}};
            wiredOn_[m] = line;
        } else if (kind == "pty") {
            if (words.size() > 4) {
                throw Failure{"channel: pty takes at most one path"};
            }
            wiring = {LineKind::Pty, 0, words.size() == 4 ? std::string(words[3]) : std::string()};
        } else if (kind == "loopback" || kind == "open") {
            if (words.size() != 3) {
                throw Failure{"channel: " + std::string(kind) + " takes nothing more"};
            }
            wiring = {kind == "loopback" ? LineKind::Loopback : LineKind::Open, 0, {}};
        } else {
            throw Failure{"channel: unknown line '" + std::string(kind) +
                          "' (null-modem, pty, loopback or open)"};
        }
        wiredOn_[n] = line;
    }

    void Unwired(std::uint32_t channel) {
        if (wiredOn_[channel] != 0) {
            throw Failure{"channel " + std::to_string(channel) + " is already wired on line " +
                          std::to_string(wiredOn_[channel])};
        }
    }

    void Pace(const std::vector<std::string_view>& words, std::uint32_t line) {
        Once(paceLine_, line, "pace");
        if (words.size() != 2) {
            throw Failure{"pace: expected one number, 1.0 for real time or 0 for unpaced"};
        }
        const std::string text(words[1]);
        std::size_t used = 0;
        double pace = 0;
        try {
            pace = std::stod(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text.size() || !std::isfinite(pace) || pace < 0) {
            throw Failure{"pace: '" + text + "' is not a factor of 0 or more"};
        }
        description_.pace = pace;
    }

    void Finish() {
        if (busesLine_ == 0) {
            std::uint32_t highest = 0;
            for (const FunctionDescription& f : description_.functions) {
                highest = std::max(highest, f.bus);
            }
            for (std::uint32_t bus = 0; bus <= highest; ++bus) {
                description_.buses.push_back(bus);
            }
        }
        // Default BAR0s: a 1 MiB stride from 0xF0000000, past any that the description fixed.
        std::uint32_t next = DefaultBarBase;
        const auto overlaps = [&](std::uint32_t base, std::uint32_t length,
                                  const FunctionDescription* self) {
            for (const FunctionDescription& f : description_.functions) {
                if (&f == self || !f.isBoard || f.bar0 == 0) {
                    continue;
                }
                const std::uint64_t otherEnd = std::uint64_t{f.bar0} + RegionLengthFor(f.deviceId);
                if (base < otherEnd && f.bar0 < std::uint64_t{base} + length) {
                    return &f;
                }
            }
            return static_cast<const FunctionDescription*>(nullptr);
        };
        for (const FunctionDescription& f : description_.functions) {
            const FunctionDescription* other =
                f.isBoard && f.bar0 != 0 ? overlaps(f.bar0, RegionLengthFor(f.deviceId), &f)
                                         : nullptr;
            if (other != nullptr && other->line < f.line) {
                throw LateFailure{f.line, "board bar0: overlaps the board of line " +
                                              std::to_string(other->line)};
            }
        }
        for (FunctionDescription& f : description_.functions) {
            if (f.isBoard && f.bar0 == 0) {
                while (overlaps(next, RegionLengthFor(f.deviceId), &f) != nullptr) {
                    next += DefaultBarStride;
                }
                f.bar0 = next;
                next += DefaultBarStride;
            }
        }
    }

    Description description_;
    std::uint32_t busesLine_ = 0;
    std::uint32_t paceLine_ = 0;
    int boardIndex_ = -1;
    std::array<std::uint32_t, MaxChannels> wiredOn_{};
};

}  // namespace

ParsedDescription ParseDescription(std::string_view text) { return Parser().Run(text); }

std::string DefaultDescriptionText(std::string_view pace) {
    return std::string(DefaultBus) + std::string(DefaultBoardStatement) +
           std::string(DefaultWiring) + "pace " + std::string(pace) + "\n";
}

}  // namespace sim
