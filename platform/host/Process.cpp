// The end of the process, as the platform ends it: ExitProcess, or SIGINT/SIGTERM/SIGHUP on the
// parked driver. Either way the named objects this process created are removed first.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

namespace host {

namespace {

std::mutex endWorkLock;
std::vector<std::function<void()>>& EndWork() {
    static std::vector<std::function<void()>> work;
    return work;
}

sigset_t EndingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void AtProcessEnd(std::function<void()> work) {
    const std::lock_guard guard(endWorkLock);
    EndWork().push_back(std::move(work));
}

void RunProcessEndWork() {
    std::vector<std::function<void()>> work;
    {
        const std::lock_guard guard(endWorkLock);
        work.swap(EndWork());
    }
    for (auto it = work.rbegin(); it != work.rend(); ++it) {
        (*it)();
    }
}

void StartProcess() {
    TakeHostSettings();
    // Blocked here, before any other thread exists, so that every thread inherits the mask and
    // only the watcher below ever takes these signals.
    const sigset_t signals = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        RunProcessEndWork();
        std::fflush(stdout);
        std::_Exit(0);
    }).detach();
}

}  // namespace host

void RTAPI ExitProcess(std::uint32_t exitCode) {
    host::RunProcessEndWork();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(static_cast<int>(exitCode));
}

// There is no loader on the host: the process is always entered through main.
std::uint32_t RTAPI __RtxProcessEntry() { return 1; }

std::int32_t RTAPI _RtssAttachProcessW(std::uint32_t /*first*/, std::uint32_t /*second*/,
                                       RtStartRoutine start) {
    return start();
}
