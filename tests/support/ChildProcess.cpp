#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        merged[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    for (const auto& [name, value] : extra) merged[name] = value;
    std::vector<std::string> entries;
    for (const auto& [name, value] : merged) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& input) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = EnvironmentWith(environment);
    const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, Pointers(argv).data(),
                                   Pointers(envp).data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (failed != 0) throw std::runtime_error("cannot start " + program);
    // A child that does not read its input must not block this side: the pipe takes 64 KiB.
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        throw std::runtime_error("cannot feed " + program);
    }
    close(in[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    Kill();
    close(out_);
    close(err_);
}

void ChildProcess::Collect(std::chrono::milliseconds wait) {
    pollfd streams[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(streams, 2, static_cast<int>(wait.count())) <= 0) return;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(out_, buffer, sizeof buffer)) > 0) outText_.append(buffer, buffer + n);
    while ((n = read(err_, buffer, sizeof buffer)) > 0) errText_.append(buffer, buffer + n);
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (outText_.find(text) == std::string::npos) {
        if (ended_ || std::chrono::steady_clock::now() >= end) return false;
        Collect(20ms);
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
            Collect(0ms);
        }
    }
    return true;
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!ended_) {
        Collect(10ms);
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
        } else if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
    }
    Collect(0ms);
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

int ChildProcess::Terminate() {
    if (!ended_) kill(pid_, SIGTERM);
    return Wait();
}

void ChildProcess::Kill() {
    if (ended_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    ended_ = true;
    Collect(0ms);
}

std::string ChildProcess::Out() {
    Collect(0ms);
    return outText_;
}

std::string ChildProcess::Err() {
    Collect(0ms);
    return errText_;
}

Finished Run(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& input, const std::map<std::string, std::string>& environment) {
    ChildProcess child(program, arguments, environment, input);
    const int code = child.Wait(60s);
    return {code, child.Out(), child.Err()};
}

}  // namespace testsupport
