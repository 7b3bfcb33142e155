// A program run as its users run it, in a process of its own: arguments, extra environment,
// standard input fed, standard output and standard error collected apart. The driver, the quelta
// tool and the peer program of the cross-process tests all run through this.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment = {},
                 const std::string& input = "");
    ~ChildProcess();  // kills a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until standard output holds text (true), the child ends or the time runs out.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit = 15s);
    // Waits for the end: the exit code, 128 + the signal when a signal ended it, -1 when it did
    // not end in time.
    int Wait(std::chrono::milliseconds limit = 10s);
    int Terminate();  // SIGTERM, as the platform ends the driver, then Wait
    void Kill();      // SIGKILL: no orderly end

    std::string Out();  // standard output so far
    std::string Err();  // standard error so far
    pid_t Pid() const { return pid_; }

private:
    void Collect(std::chrono::milliseconds wait);
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
    bool ended_ = false;
    int status_ = 0;
};

struct Finished {
    int exitCode;
    std::string out;
    std::string err;
};

// Runs the program to its end (at most a minute).
Finished Run(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& input = "",
             const std::map<std::string, std::string>& environment = {});

}  // namespace testsupport
