#include "tools/common/Arguments.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "client/LineSettings.h"  // the receive trigger levels

namespace tool {

Arguments::Arguments(const std::vector<std::string>& words,
                     const std::vector<OptionInfo>& options) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            positionals_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = word == "-h" ? "--help" : word;
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto known =
            std::find_if(options.begin(), options.end(),
                         [&](const OptionInfo& option) { return option.name == name; });
        if (known == options.end()) {
            throw UsageError("unknown option " + name);
        }
        if (!known->takesValue) {
            if (inlineValue) throw UsageError(name + " takes no value");
            values_[name] = "";
        } else if (inlineValue) {
            values_[name] = *inlineValue;
        } else if (i + 1 < words.size()) {
            values_[name] = words[++i];
        } else {
            throw UsageError(name + " needs a value");
        }
    }
}

std::optional<std::string> Arguments::Value(const std::string& option) const {
    const auto found = values_.find(option);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

unsigned long ParseCount(const std::string& text, const std::string& what, unsigned long maximum) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > maximum) {
        throw UsageError(what + " must be a whole number from 0 to " + std::to_string(maximum) +
                         ", not '" + text + "'");
    }
    return value;
}

std::optional<std::uint8_t> ReceiveTriggerOption(const Arguments& arguments) {
    const std::optional<std::string> text = arguments.Value("--rx-trigger");
    if (!text) return std::nullopt;
    const unsigned long level = ParseCount(*text, "--rx-trigger", UINT8_MAX);
    if (level < ReceiveTrigger::Lowest || level > ReceiveTrigger::Highest) {
        throw UsageError("--rx-trigger takes a level from " +
                         std::to_string(ReceiveTrigger::Lowest) + " to " +
                         std::to_string(ReceiveTrigger::Highest));
    }
    return static_cast<std::uint8_t>(level);
}

double ParseSeconds(const std::string& text, const std::string& what) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 86400) {
        throw UsageError(what + " must be seconds from 0 to 86400, not '" + text + "'");
    }
    return value;
}

bool ParseOnOff(const std::string& text) {
    if (text == "on" || text == "1" || text == "true") return true;
    if (text == "off" || text == "0" || text == "false") return false;
    throw UsageError("expected on or off, not '" + text + "'");
}

}  // namespace tool
