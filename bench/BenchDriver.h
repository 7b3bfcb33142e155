// What the benchmarks that run the driver as its users do share: quelta-driver on the default
// machine (real-time pace) in a namespace of its own, which this process and the children it
// starts use too; ports opened once the driver serves them; and the driver's CPU time and
// context switches read from /proc.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "TestNamespace.h"
#include "client/Device.h"

namespace benchdriver {

using namespace std::chrono_literals;

class Driver {
public:
    explicit Driver(const std::string& tag)
        : space_(testsupport::UniqueNamespace(tag)),
          environment_{{"RTSS_NAMESPACE", space_}, {"QUELTA_SIM", ""}} {
        setenv("RTSS_NAMESPACE", space_.c_str(), 1);
        process_.emplace(QUELTA_DRIVER_PATH, std::vector<std::string>{"-Q", "5"}, environment_);
    }
    ~Driver() { process_->Terminate(); }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    const std::string& Namespace() const { return space_; }
    // What a child needs to meet this driver (the namespace, the default machine).
    const std::map<std::string, std::string>& Environment() const { return environment_; }
    pid_t Pid() const { return process_->Pid(); }

private:
    std::string space_;
    std::map<std::string, std::string> environment_;
    std::optional<testsupport::ChildProcess> process_;
};

// Opens a port, trying again while the driver is still starting.
inline quelta::Device OpenWhenReady(const std::string& name,
                                    quelta::OpenMode mode = quelta::OpenMode::Reset) {
    for (int attempt = 0;; ++attempt) {
        try {
            return quelta::Device(name, {.mode = mode, .replyTimeout = 10s});
        } catch (const quelta::Error&) {
            if (attempt > 1000) throw;
            std::this_thread::sleep_for(10ms);
        }
    }
}

// CPU seconds (user and system) a process has used, all its threads together.
inline double ProcessCpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold spaces, start behind its last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) user = std::stoull(field);
        if (number == 15) system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Context switches of all of a process's threads: each one a thread that went to sleep, or was
// put aside for another.
inline unsigned long long ProcessContextSwitches(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    unsigned long long switches = 0;
    DIR* directory = opendir(tasks.c_str());
    if (directory == nullptr) return 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) {
                switches += std::stoull(line.substr(line.find(':') + 1));
            }
        }
    }
    closedir(directory);
    return switches;
}

}  // namespace benchdriver
