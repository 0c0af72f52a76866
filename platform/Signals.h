#pragma once
// What the terminal does to a command-line process: the stop signals it sends
// (interrupt, terminate) and whether standard error shows on it.
namespace veldmoor::platform {

enum class StopSignal : int {
    kNone = 0,
    kInterrupt = 1,  // SIGINT
    kTerminate = 2,  // SIGTERM
};

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it
// starts afterwards, and has a helper thread wait for them: no other thread is
// ever interrupted in a system call. The first signal is recorded for
// ReceivedStopSignal; a second one ends the process the default way. Call it
// once, before any other thread starts.
bool WatchStopSignals();
// The first stop signal received, kNone before any.
StopSignal ReceivedStopSignal();

bool StandardErrorIsTerminal();
bool StandardInputIsTerminal();
bool StandardOutputIsTerminal();

// Has a process that dies of SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGABRT leave a
// dump file in the working directory first, named
// "YYYY-MM-DD-hh-mm-ss-ms-rr.dmp" (local time, milliseconds, a random 0-99):
// the signal, faulting address, thread, a backtrace and the loaded modules.
// The process then ends by the signal as before. Safe to call again; each call
// puts the handler back in case something replaced it.
bool InstallCrashDumpHandler();

}  // namespace veldmoor::platform
