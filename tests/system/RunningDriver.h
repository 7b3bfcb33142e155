// The driver as its users run it: quelta-driver in a process of its own, on a machine
// description, in a namespace of its own that this process's clients use too.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/Device.h"
#include "sim/Description.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestNamespace.h"

namespace systemtest {

using namespace std::chrono_literals;

inline std::string Board(const std::string& where, const std::string& ids,
                         const std::string& extra = "") {
    return "board " + where + " " + ids + " clock=14745600\n" + extra;
}

// The machine the driver finds without QUELTA_SIM: its board's 8 channels in null-modem pairs.
inline const std::string DefaultBoard = sim::DefaultDescriptionText();

inline std::string Loaded(int first, int count) {
    std::string lines;
    for (int n = first; n < first + count; ++n) {
        lines += "\\RtDevice\\Quelta\\Serial" + std::to_string(n) + " driver loaded\n";
    }
    return lines;
}

// The driver as a command: quelta-driver with the arguments, or, where QUELTA_TEST_LOADER and
// QUELTA_TEST_IMAGE are set (the test command's image pass), the target image itself through
// its loader: quelta-rtss-run IMAGE with the arguments.
struct DriverCommand {
    std::string program;
    std::vector<std::string> arguments;
};

inline DriverCommand Driver(std::vector<std::string> args) {
    const char* loader = std::getenv("QUELTA_TEST_LOADER");
    const char* image = std::getenv("QUELTA_TEST_IMAGE");
    if (loader == nullptr || *loader == '\0' || image == nullptr || *image == '\0') {
        return {QUELTA_DRIVER_PATH, std::move(args)};
    }
    args.insert(args.begin(), image);
    return {loader, std::move(args)};
}

class RunningDriver {
public:
    // The machine description goes to a temporary file, removed at the end. program: another
    // build of the driver.
    RunningDriver(const std::string& machine, std::vector<std::string> args = {"-Q", "5"},
                  std::map<std::string, std::string> env = {},
                  const std::string& program = QUELTA_DRIVER_PATH)
        : space_(testsupport::UniqueNamespace("d")), machinePath_(::testing::TempDir() + space_) {
        std::ofstream(machinePath_) << machine;
        env.try_emplace("RTSS_NAMESPACE", space_);
        env["QUELTA_SIM"] = machinePath_;
        setenv("RTSS_NAMESPACE", space_.c_str(), 1);  // this process's clients meet it
        const DriverCommand command = program == QUELTA_DRIVER_PATH
                                          ? Driver(std::move(args))
                                          : DriverCommand{program, std::move(args)};
        process_ =
            std::make_unique<testsupport::ChildProcess>(command.program, command.arguments, env);
    }
    // Ended as the platform ends it, so that it removes its objects. A test that killed it, or a
    // second driver it started on the same names, leaves them behind: the namespace is this
    // object's alone, so whatever is still in it goes too.
    ~RunningDriver() {
        process_->Terminate();
        std::remove(machinePath_.c_str());
        for (const std::string& name : testsupport::NamesIn(space_)) {
            std::remove(("/dev/shm/" + name).c_str());
        }
    }
    testsupport::ChildProcess& Process() { return *process_; }
    const std::string& Namespace() const { return space_; }
    const std::string& MachinePath() const { return machinePath_; }

    // A client of a driver that may still be starting up: its device may not exist yet or not be
    // filled in yet, and its first request is held until set-up is over.
    static quelta::Device Open(const std::string& name) {
        const auto giveUp = std::chrono::steady_clock::now() + 15s;
        for (;;) {
            try {
                return quelta::Device(name, {.mode = quelta::OpenMode::Reset, .replyTimeout = 10s});
            } catch (const quelta::Error& error) {
                const bool starting = error.Code() == quelta::ErrorCode::NoSuchDevice ||
                                      error.Code() == quelta::ErrorCode::ProtocolError;
                if (!starting || std::chrono::steady_clock::now() > giveUp) {
                    throw;
                }
                std::this_thread::sleep_for(10ms);
            }
        }
    }

private:
    std::string space_;
    std::string machinePath_;
    std::unique_ptr<testsupport::ChildProcess> process_;
};

}  // namespace systemtest
