// Runs quelta-driver as a separate process, as its users do: with its own namespace for the named
// objects, a machine description, and its console captured.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace systest {

class DriverProcess {
public:
    // Starts the driver with these arguments; env entries are added to the environment.
    DriverProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    // Waits until the console output contains text (true), the process ends or time runs out.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Waits for the process to end by itself; returns its exit code, or -1 on time-out/signal.
    int WaitForExit(std::chrono::milliseconds limit);
    // Ends the process as the platform would (SIGTERM) and returns its exit code.
    int Terminate();
    void Kill();  // SIGKILL: no orderly end

    std::string Output();  // all console output so far
    pid_t Pid() const { return pid_; }

private:
    void Drain(std::chrono::milliseconds wait);
    pid_t pid_ = -1;
    int outputFd_ = -1;
    std::string output_;
    bool exited_ = false;
    int status_ = 0;
};

// A namespace for the named objects that no other run uses.
std::string UniqueNamespace(const std::string& tag);
// Writes a machine description into a temporary file and returns its path.
std::string WriteMachine(const std::string& text);

}  // namespace systest
