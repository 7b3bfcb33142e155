// The arguments of one subcommand: options ("--name", "--name VALUE", "--name=VALUE", "-h") and
// positional words; "--" ends the options, so a text starting with '-' can still be sent.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tool {

// A mistake in the command line: reported with a hint to --help and exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionInfo {
    std::string name;  // "--count"
    bool takesValue;
};

class Arguments {
public:
    // Throws UsageError for an option not in options or one missing its value.
    Arguments(const std::vector<std::string>& words, const std::vector<OptionInfo>& options);

    bool Has(const std::string& option) const { return values_.count(option) != 0; }
    std::optional<std::string> Value(const std::string& option) const;
    const std::vector<std::string>& Positionals() const { return positionals_; }

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> positionals_;
};

// Number parsing for option values, with the option's name in the error.
unsigned long ParseCount(const std::string& text, const std::string& what, unsigned long maximum);
// The --rx-trigger option: none when absent, else the receive FIFO level to ask the driver for
// (Device::SetReceiveTrigger); a level the channel does not offer is a usage error.
std::optional<std::uint8_t> ReceiveTriggerOption(const Arguments& arguments);
// Seconds, fractions allowed ("0.5"); at most a day.
double ParseSeconds(const std::string& text, const std::string& what);
// "on" / "off" (also 1/0, true/false).
bool ParseOnOff(const std::string& text);

}  // namespace tool
