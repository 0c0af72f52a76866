#include "platform/Thread.h"

#include <pthread.h>

#include <atomic>
#include <string>
#include <system_error>
#include <thread>

namespace veldmoor::platform {
namespace {

std::atomic<uint32_t> g_nextThreadId{1};
thread_local uint32_t t_threadId = 0;

uint32_t NewThreadId() {
    uint32_t id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace

uint32_t CurrentThreadId() {
    if (t_threadId == 0) t_threadId = NewThreadId();
    return t_threadId;
}

bool CreateDetachedThread(ThreadProc proc, void* argument, uint32_t* threadId) {
    const uint32_t id = NewThreadId();
    // The caller reads `threadId` under its own lock, which the new thread also
    // takes first, so storing it before the thread starts is enough.
    *threadId = id;
    try {
        std::thread([proc, argument, id] {
            t_threadId = id;
            proc(argument);
        }).detach();
    } catch (const std::system_error&) {
        *threadId = 0;
        return false;
    }
    return true;
}

void NameCurrentThread(const char* name) {
    const std::string shortName = std::string(name).substr(0, 15);
    ::pthread_setname_np(::pthread_self(), shortName.c_str());
}

}  // namespace veldmoor::platform
