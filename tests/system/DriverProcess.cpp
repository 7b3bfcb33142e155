#include "tests/system/DriverProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace systest {

DriverProcess::DriverProcess(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        std::string program = QUELTA_DRIVER_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    outputFd_ = pipeFds[0];
    fcntl(outputFd_, F_SETFL, O_NONBLOCK);
}

DriverProcess::~DriverProcess() {
    if (!exited_) Kill();
    if (outputFd_ >= 0) close(outputFd_);
}

void DriverProcess::Drain(std::chrono::milliseconds wait) {
    pollfd fd{outputFd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(wait.count())) <= 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(outputFd_, buffer, sizeof buffer)) > 0) output_.append(buffer, buffer + n);
}

bool DriverProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) return false;
        Drain(std::chrono::milliseconds(20));
        if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
            exited_ = true;
            Drain(std::chrono::milliseconds(0));
            return output_.find(text) != std::string::npos;
        }
    }
    return true;
}

int DriverProcess::WaitForExit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
        Drain(std::chrono::milliseconds(10));
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            exited_ = true;
        } else if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
    }
    Drain(std::chrono::milliseconds(0));
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int DriverProcess::Terminate() {
    if (!exited_) kill(pid_, SIGTERM);
    return WaitForExit(std::chrono::seconds(10));
}

void DriverProcess::Kill() {
    if (exited_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
    Drain(std::chrono::milliseconds(0));
}

std::string DriverProcess::Output() {
    Drain(std::chrono::milliseconds(0));
    return output_;
}

std::string UniqueNamespace(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "qtest" + std::to_string(getpid()) + tag + std::to_string(counter++);
}

std::string WriteMachine(const std::string& text) {
    static std::atomic<int> counter{0};
    const std::string path = "/tmp/quelta-machine-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter++) + ".txt";
    std::ofstream(path) << text;
    return path;
}

}  // namespace systest
