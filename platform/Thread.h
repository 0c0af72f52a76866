#pragma once
#include <cstdint>

namespace veldmoor::platform {

using ThreadProc = void (*)(void* argument);

// A process-unique, never-zero id for the calling thread. Threads made by
// CreateDetachedThread get theirs before they run; others get one on first use.
uint32_t CurrentThreadId();

// Starts `proc(argument)` on a new detached thread. On success stores the new
// thread's id in `threadId` before the thread can observe it and returns true.
bool CreateDetachedThread(ThreadProc proc, void* argument, uint32_t* threadId);

// Names the calling thread for debuggers and process listings (at most 15
// characters are kept).
void NameCurrentThread(const char* name);

}  // namespace veldmoor::platform
