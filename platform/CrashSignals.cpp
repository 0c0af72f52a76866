// The fatal-signal handler behind InstallCrashDumpHandler. Everything the
// handler runs is async-signal-safe: no allocation, no stdio, no locale; the
// time zone offset and the backtrace machinery are prepared beforehand.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/CivilDate.h"
#include "platform/Signals.h"

namespace veldmoor::platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr size_t kAlternateStackBytes = 64 * 1024;

std::atomic<long> g_utcOffsetSeconds{0};
std::atomic<uint32_t> g_randomState{1};
std::atomic<bool> g_alternateStackSet{false};

// A small fixed buffer the handler formats its lines in.
class LineBuffer {
public:
    void Text(const char* text) {
        while (*text && length_ < sizeof(bytes_)) bytes_[length_++] = *text++;
    }
    void Unsigned(uint64_t value, int minimumDigits = 1) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count < minimumDigits && count < 24) digits[count++] = '0';
        while (count > 0 && length_ < sizeof(bytes_)) bytes_[length_++] = digits[--count];
    }
    void Hex(uint64_t value) {
        Text("0x");
        for (int shift = 60; shift >= 0; shift -= 4) {
            if (length_ < sizeof(bytes_)) bytes_[length_++] = "0123456789abcdef"[(value >> shift) & 0xF];
        }
    }
    void WriteTo(int fd) {
        const char* data = bytes_;
        size_t left = length_;
        while (left > 0) {
            const ssize_t written = ::write(fd, data, left);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            data += written;
            left -= static_cast<size_t>(written);
        }
        length_ = 0;
    }
    const char* CString() {
        bytes_[length_ < sizeof(bytes_) ? length_ : sizeof(bytes_) - 1] = '\0';
        return bytes_;
    }

private:
    char bytes_[256];
    size_t length_ = 0;
};

const char* SignalName(int number) {
    switch (number) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

uint32_t NextRandom() {
    uint32_t x = g_randomState.load(std::memory_order_relaxed);
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    g_randomState.store(x, std::memory_order_relaxed);
    return x;
}

void DumpFileName(LineBuffer& name) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const CivilTime local = CivilTimeFromSeconds(now.tv_sec + g_utcOffsetSeconds.load(std::memory_order_relaxed));
    const auto millisecond = static_cast<unsigned>(now.tv_nsec / 1000000);
    name.Unsigned(static_cast<uint64_t>(local.date.year), 4);
    for (const unsigned part : {local.date.month, local.date.day, local.hour, local.minute, local.second, millisecond,
                                static_cast<unsigned>(NextRandom() % 100)}) {
        name.Text("-");
        name.Unsigned(part, 2);
    }
    name.Text(".dmp");
}

void CopyLoadedModules(int fd) {
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(maps, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        ssize_t offset = 0;
        while (offset < got) {
            const ssize_t written = ::write(fd, chunk + offset, static_cast<size_t>(got - offset));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            offset += written;
        }
        if (offset < got) break;
    }
    ::close(maps);
}

void WriteDump(int fd, int number, const siginfo_t* info, void** frames, int frameCount) {
    LineBuffer line;
    line.Text("Veldmoor crash dump\nsignal: ");
    line.Unsigned(static_cast<uint64_t>(number));
    line.Text(" (");
    line.Text(SignalName(number));
    line.Text(")\ncode: ");
    line.Unsigned(static_cast<uint64_t>(static_cast<uint32_t>(info ? info->si_code : 0)));
    line.Text("\naddress: ");
    line.Hex(reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr));
    line.Text("\nprocess: ");
    line.Unsigned(static_cast<uint64_t>(::getpid()));
    line.Text("\nthread: ");
    line.Unsigned(static_cast<uint64_t>(::syscall(SYS_gettid)));
    line.Text("\n\nbacktrace:\n");
    line.WriteTo(fd);
    ::backtrace_symbols_fd(frames, frameCount, fd);
    line.Text("\nloaded modules:\n");
    line.WriteTo(fd);
    CopyLoadedModules(fd);
}

void OnFatalSignal(int number, siginfo_t* info, void* /*context*/) {
    const int savedErrno = errno;
    void* frames[kMaxFrames];
    const int frameCount = ::backtrace(frames, kMaxFrames);

    LineBuffer name;
    DumpFileName(name);
    const int fd = ::open(name.CString(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteDump(fd, number, info, frames, frameCount);
        ::close(fd);
    }
    // The signal stays blocked while we run; the default action takes the
    // process down as soon as the handler returns.
    ::signal(number, SIG_DFL);
    ::raise(number);
    errno = savedErrno;
}

void PrepareHandlerState() {
    const time_t now = ::time(nullptr);
    tm local{};
    if (::localtime_r(&now, &local)) g_utcOffsetSeconds.store(local.tm_gmtoff);
    uint32_t seed = static_cast<uint32_t>(now) ^ (static_cast<uint32_t>(::getpid()) << 16);
    g_randomState.store(seed == 0 ? 1 : seed);
    // backtrace loads its unwinder on first use, which is not safe inside a handler.
    void* frame[1];
    ::backtrace(frame, 1);
    bool expected = false;
    if (g_alternateStackSet.compare_exchange_strong(expected, true)) {
        // A stack overflow in this thread still reaches the handler.
        static char alternateStack[kAlternateStackBytes];
        stack_t stack{};
        stack.ss_sp = alternateStack;
        stack.ss_size = sizeof alternateStack;
        ::sigaltstack(&stack, nullptr);
    }
}

}  // namespace

bool InstallCrashDumpHandler() {
    PrepareHandlerState();
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    bool installed = true;
    for (const int number : kFatalSignals) installed = ::sigaction(number, &action, nullptr) == 0 && installed;
    return installed;
}

}  // namespace veldmoor::platform
