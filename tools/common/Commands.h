// The subcommands of the quelta tool. Each file defines one (or a family) and Main.cpp puts them
// in a table; every subcommand also takes the common options below.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "client/Device.h"
#include "tools/common/Arguments.h"

namespace tool {

using Clock = std::chrono::steady_clock;

// Exit codes.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;        // the device or the driver said no, or a transfer fell short
constexpr int ExitUsage = 2;          // the command line was wrong
constexpr int ExitInterrupted = 130;  // Ctrl-C or SIGTERM stopped a waiting command (128 + SIGINT)

class Invocation {
public:
    Invocation(std::string command, const Arguments& arguments)
        : command_(std::move(command)), arguments_(arguments) {}

    const Arguments& Args() const { return arguments_; }
    const std::string& Command() const { return command_; }
    // Positional argument i; UsageError naming what is missing.
    const std::string& Argument(std::size_t index, const char* what) const;

    // Opens the device the way the common options ask: attach to an opened port, or reset it
    // with --reset; --reply-timeout sets the library's reply limit.
    quelta::Device Open(const std::string& name) const;
    // As Open, also claiming the device for this process alone unless --shared is given: for the
    // commands whose bytes another client would mix with or take away.
    quelta::Device OpenExclusive(const std::string& name,
                                 const quelta::OpenOptions& base = {}) const;
    // Attaches to a port that a client has opened, never opening it: NotOpened otherwise.
    quelta::Device AttachOnly(const std::string& name) const;
    // With the reply limit of --reply-timeout over base, and the clear message for a device that
    // does not exist.
    quelta::Device OpenWith(const std::string& name, quelta::OpenMode mode, bool exclusive,
                            const quelta::OpenOptions& base = {}) const;
    // What OpenExclusive claims: the device for this process alone unless --shared is given.
    bool Exclusive() const { return !arguments_.Has("--shared"); }

private:
    quelta::OpenMode RequestedMode() const;
    std::string command_;
    const Arguments& arguments_;
};

struct CommandEntry {
    const char* name;
    const char* synopsis;  // "status DEV [--json]"
    const char* summary;   // one line for the command list
    const char* details;   // the rest of the subcommand's --help
    std::vector<OptionInfo> options;
    std::size_t minArguments;
    std::size_t maxArguments;
    int (*run)(const Invocation&);
};

// Options every subcommand takes.
const std::vector<OptionInfo>& CommonOptions();
extern const char CommonOptionsHelp[];

std::vector<CommandEntry> ListCommands();      // list
std::vector<CommandEntry> StatusCommands();    // status
std::vector<CommandEntry> ConfigCommands();    // config
std::vector<CommandEntry> SignalCommands();    // dtr, rts, break, close
std::vector<CommandEntry> TransferCommands();  // send, recv
std::vector<CommandEntry> TermCommands();      // term
std::vector<CommandEntry> CheckCommands();     // loopback, bench
std::vector<CommandEntry> WatchCommands();     // watch
std::vector<CommandEntry> FlushCommands();     // flush
std::vector<CommandEntry> PtyCommands();       // pty
std::vector<CommandEntry> ServeCommands();     // serve

// Milliseconds from seconds given on the command line.
std::chrono::milliseconds ToMilliseconds(double seconds);

}  // namespace tool
