// quelta: the command-line client of the Quelta serial driver's devices.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/Error.h"
#include "client/quelta_client.h"
#include "tools/common/Commands.h"

namespace {

using tool::CommandEntry;

std::vector<CommandEntry> AllCommands() {
    std::vector<CommandEntry> commands;
    for (auto family :
         {tool::ListCommands, tool::StatusCommands, tool::WatchCommands, tool::ConfigCommands,
          tool::SignalCommands, tool::FlushCommands, tool::TransferCommands, tool::TermCommands,
          tool::CheckCommands, tool::PtyCommands, tool::ServeCommands}) {
        for (CommandEntry& command : family()) commands.push_back(std::move(command));
    }
    return commands;
}

void PrintOverview(std::FILE* out, const std::vector<CommandEntry>& commands) {
    std::fprintf(out,
                 "quelta: use the devices of the Quelta serial driver from the command line.\n\n"
                 "Usage: quelta COMMAND [ARGUMENTS] [OPTIONS]\n"
                 "       quelta COMMAND --help     (details of one command)\n"
                 "       quelta --version          (the version of quelta and its library)\n\n"
                 "Commands:\n");
    constexpr int SynopsisWidth = 44;
    for (const CommandEntry& command : commands) {
        if (std::strlen(command.synopsis) > SynopsisWidth) {
            std::fprintf(out, "  %s\n  %-*s %s\n", command.synopsis, SynopsisWidth, "",
                         command.summary);
        } else {
            std::fprintf(out, "  %-*s %s\n", SynopsisWidth, command.synopsis, command.summary);
        }
    }
    std::fprintf(
        out,
        "\nDEV names a device: Serial0, or in full \\RtDevice\\Quelta\\Serial0.\n\n%s\n"
        "Environment: RTSS_NAMESPACE selects the driver's object namespace (default rtss).\n"
        "Exit status: 0 done, 1 the device or the driver failed or a transfer fell short,\n"
        "2 a mistake in the command line, 130 interrupted (Ctrl-C or SIGTERM stopped send,\n"
        "recv, loopback or watch; the bytes moved so far are on standard error).\n\n"
        "Time-outs of send, recv --count and loopback count from the last byte that moved:\n"
        "a slow line that keeps moving never runs out of time. recv, term, send --file,\n"
        "loopback, pty and serve hold their devices for the process alone, as a tty in\n"
        "exclusive mode: meanwhile every other command on the device fails with 'busy', and\n"
        "they fail so while another process has it open (--shared lets others in).\n\n"
        "Example (Serial0 and Serial1 wired to each other):\n"
        "  quelta config Serial0 115200 8N1\n"
        "  quelta config Serial1 115200 8N1\n"
        "  quelta send Serial0 \"hello\"\n"
        "  quelta recv Serial1 --count 5 --timeout 2\n"
        "  quelta status Serial0\n",
        tool::CommonOptionsHelp);
}

void PrintCommandHelp(const CommandEntry& command) {
    std::string summary = command.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    std::printf("Usage: quelta %s\n\n%s.\n\n%s\n%s", command.synopsis, summary.c_str(),
                command.details, tool::CommonOptionsHelp);
}

int Fail(const std::string& reason, int code) {
    std::fprintf(stderr, "quelta: %s\n", reason.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<CommandEntry> commands = AllCommands();
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        PrintOverview(stderr, commands);
        return tool::ExitUsage;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        if (words.size() > 1) {
            for (const CommandEntry& command : commands) {
                if (words[1] == command.name) {
                    PrintCommandHelp(command);
                    return tool::ExitOk;
                }
            }
            return Fail("unknown command '" + words[1] + "' (quelta --help lists them)",
                        tool::ExitUsage);
        }
        PrintOverview(stdout, commands);
        return tool::ExitOk;
    }
    if (words[0] == "--version") {
        std::printf("quelta %s\n", quelta_version());
        return tool::ExitOk;
    }
    const CommandEntry* command = nullptr;
    for (const CommandEntry& candidate : commands) {
        if (words[0] == candidate.name) command = &candidate;
    }
    if (command == nullptr) {
        return Fail("unknown command '" + words[0] + "' (quelta --help lists them)",
                    tool::ExitUsage);
    }
    try {
        std::vector<tool::OptionInfo> options = command->options;
        options.insert(options.end(), tool::CommonOptions().begin(), tool::CommonOptions().end());
        const tool::Arguments arguments(std::vector<std::string>(words.begin() + 1, words.end()),
                                        options);
        if (arguments.Has("--help")) {
            PrintCommandHelp(*command);
            return tool::ExitOk;
        }
        const std::size_t given = arguments.Positionals().size();
        if (given > command->maxArguments) {
            throw tool::UsageError(std::string(command->name) + ": unexpected argument '" +
                                   arguments.Positionals()[command->maxArguments] + "'");
        }
        if (given < command->minArguments) {
            throw tool::UsageError(std::string("usage: quelta ") + command->synopsis);
        }
        return command->run(tool::Invocation(command->name, arguments));
    } catch (const tool::UsageError& error) {
        return Fail(std::string(error.what()) + " (see quelta " + command->name + " --help)",
                    tool::ExitUsage);
    } catch (const quelta::Error& error) {
        return Fail(error.what(), tool::ExitFailure);
    } catch (const std::exception& error) {
        return Fail(error.what(), tool::ExitFailure);
    }
}
