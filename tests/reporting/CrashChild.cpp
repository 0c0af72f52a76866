// A program that installs the crash-dump handler in the folder it is given
// and then dies by dereferencing a null pointer (or by abort with "abort").
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/Signals.h"

// Exported (the program links with -rdynamic) so the backtrace names it.
extern "C" __attribute__((noinline)) void VeldmoorCrashByNullPointer(volatile int* target) { *target = 42; }

int main(int argc, char** argv) {
    if (argc < 2 || ::chdir(argv[1]) != 0) return 2;
    if (!veldmoor::platform::InstallCrashDumpHandler()) return 3;
    if (argc > 2 && std::strcmp(argv[2], "abort") == 0) std::abort();
    VeldmoorCrashByNullPointer(nullptr);
    return 0;
}
