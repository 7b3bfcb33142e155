#include "tools/common/Interrupt.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tools/common/Commands.h"

namespace tool {
namespace {

volatile sig_atomic_t interruptSignal = 0;
// The write end of the pipe that wakes the cancelling thread; -1 before CatchInterrupts.
volatile sig_atomic_t wakeDescriptor = -1;

void NoteInterrupt(int signal) {
    interruptSignal = signal;
    if (wakeDescriptor >= 0) {
        const int savedErrno = errno;
        const char byte = 1;
        (void)!write(wakeDescriptor, &byte, 1);  // a full pipe already wakes the thread
        errno = savedErrno;
    }
}

constexpr int CaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The devices whose waits an interrupt ends, and the thread that does it. Never destroyed: the
// thread may still be at work while the process exits.
struct Cancellers {
    std::mutex lock;  // guards what follows; held while the thread cancels
    std::vector<quelta::Device*> ports;
    int wakeRead = -1;
    bool started = false;

    void Run() {
        char bytes[16];
        for (;;) {
            const ssize_t count = read(wakeRead, bytes, sizeof bytes);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return;
            const std::lock_guard guard(lock);
            for (quelta::Device* port : ports) port->CancelWait();
        }
    }
};

Cancellers& TheCancellers() {
    static auto* cancellers = new Cancellers;
    return *cancellers;
}

}  // namespace

void CatchInterrupts() {
    Cancellers& cancellers = TheCancellers();
    {
        const std::lock_guard guard(cancellers.lock);
        int ends[2];
        if (cancellers.wakeRead < 0 && pipe2(ends, O_CLOEXEC) == 0) {
            fcntl(ends[1], F_SETFL, O_NONBLOCK);  // the handler never blocks on it
            cancellers.wakeRead = ends[0];
            wakeDescriptor = ends[1];
        }
    }
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR and the loop looks
    for (const int signal : CaughtSignals) sigaction(signal, &action, nullptr);
}

bool Interrupted() { return interruptSignal != 0; }

void Nap(std::chrono::microseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const timespec pause{static_cast<time_t>(seconds.count()),
                         static_cast<long>((duration - seconds).count() * 1000)};
    nanosleep(&pause, nullptr);  // cut short by a signal: the caller's loop looks at the flag
}

int ReportInterrupted(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "quelta: interrupted: %s\n", what.c_str());
    return ExitInterrupted;
}

CancelOnInterrupt::CancelOnInterrupt(std::initializer_list<quelta::Device*> ports) : ports_(ports) {
    Cancellers& cancellers = TheCancellers();
    const std::lock_guard guard(cancellers.lock);
    if (!cancellers.started && cancellers.wakeRead >= 0) {
        const InterruptsBlocked blocked;  // the signals stay with the main thread
        std::thread([&cancellers] { cancellers.Run(); }).detach();
        cancellers.started = true;
    }
    cancellers.ports.insert(cancellers.ports.end(), ports_.begin(), ports_.end());
    // The handler set the flag before it woke the thread: one that the thread served before the
    // devices were here is seen now.
    if (Interrupted()) {
        for (quelta::Device* port : ports_) port->CancelWait();
    }
}

CancelOnInterrupt::~CancelOnInterrupt() {
    Cancellers& cancellers = TheCancellers();
    const std::lock_guard guard(cancellers.lock);
    for (quelta::Device* port : ports_) {
        const auto found = std::find(cancellers.ports.begin(), cancellers.ports.end(), port);
        if (found != cancellers.ports.end()) cancellers.ports.erase(found);
    }
}

InterruptsBlocked::InterruptsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : CaughtSignals) sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
}

InterruptsBlocked::~InterruptsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace tool
