#include "platform/Signals.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

std::atomic<int> g_received{static_cast<int>(StopSignal::kNone)};

sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

StopSignal ToStopSignal(int number) { return number == SIGINT ? StopSignal::kInterrupt : StopSignal::kTerminate; }

// A second signal means the clean stop takes too long for the user: let the
// signal's default action end the process.
[[noreturn]] void EndByDefaultAction(int number) {
    std::signal(number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(number);
    _exit(128 + number);
}

void WaitForStopSignals(sigset_t set) {
    for (;;) {
        int number = 0;
        if (sigwait(&set, &number) != 0) continue;
        int expected = static_cast<int>(StopSignal::kNone);
        if (!g_received.compare_exchange_strong(expected, static_cast<int>(ToStopSignal(number))))
            EndByDefaultAction(number);
    }
}

}  // namespace

bool WatchStopSignals() {
    const sigset_t set = StopSignalSet();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    try {
        std::thread(WaitForStopSignals, set).detach();
    } catch (...) {
        return false;
    }
    return true;
}

StopSignal ReceivedStopSignal() { return static_cast<StopSignal>(g_received.load()); }

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace veldmoor::platform
