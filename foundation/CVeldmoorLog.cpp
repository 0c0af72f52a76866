#include "foundation/CVeldmoorLog.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Files.h"
#include "platform/Thread.h"

namespace veldmoor {
namespace {

constexpr std::array<const char*, 11> kSuffixes = {
    ".log",         ".req.log",      ".dump.log",     ".checktask.log", ".peerprefer.log", ".dataupload.log",
    ".httptrace.log", ".checkpeer.log", ".written.log", ".sha1check.log", ".peerinfo.log",
};

// Cuts `text` so that the composed line fits the line buffer, NUL included.
std::string ComposeLine(const std::string& time, const std::string& text, const char* ending) {
    std::string line = "[" + time + "] [";
    const size_t tailSize = 1 + std::char_traits<char>::length(ending);
    const size_t room = CVeldmoorLogApi::kLineBufferSize - 1 - line.size() - tailSize;
    line.append(text, 0, std::min(text.size(), room));
    line += "]";
    line += ending;
    return line;
}

std::mutex g_instanceMutex;
std::unique_ptr<CVeldmoorLog> g_instance;

}  // namespace

CVeldmoorLogApi::CVeldmoorLogApi() { SetLevels(kStandardFileThreshold, kStandardDebuggerThreshold); }

void CVeldmoorLogApi::SetLevels(int32_t fileThreshold, int32_t debuggerThreshold) {
    std::scoped_lock guard(lock_);
    fileThreshold_ = fileThreshold;
    debuggerThreshold_ = debuggerThreshold;
}

void CVeldmoorLogApi::SetBasePath(const std::string& basePath) {
    std::scoped_lock guard(lock_);
    for (size_t slot = 0; slot < paths_.size(); ++slot) paths_[slot] = basePath + kSuffixes[slot];
}

size_t CVeldmoorLogApi::SlotForChannel(int32_t channel) {
    switch (channel) {
        case 4: return 1;
        case 38: return 2;
        case 37: return 3;
        case 18: return 4;
        case 28: return 5;
        case 25: return 6;
        case 9: return 7;
        case 29: return 8;
        case 30: return 9;
        case 31: return 10;
        default: return 0;
    }
}

std::string CVeldmoorLogApi::FileForChannel(int32_t channel) {
    std::scoped_lock guard(lock_);
    return paths_[SlotForChannel(channel)];
}

void CVeldmoorLogApi::Write(const std::string& text, int32_t channel, int32_t level) {
    std::scoped_lock guard(lock_);
    if (fileThreshold_ == kSilent && debuggerThreshold_ == kSilent) return;
    const bool toDebugger = level >= debuggerThreshold_;
    const bool toFile = channel >= fileThreshold_ && debuggerThreshold_ != kSilent;
    if (!toDebugger && !toFile) return;

    const std::string line = ComposeLine(platform::FormatLocalTime("%X", platform::CalendarSeconds()), text, "\n");
    if (toDebugger) platform::WriteDebugOutput(line);
    const std::string& path = paths_[SlotForChannel(channel)];
    // Before SetBasePath there is no file to write to; the line is dropped there.
    if (toFile && !path.empty()) platform::AppendToFile(path, line);
}

void CVeldmoorLogApi::Debug(const char* format, ...) {
    char text[kLineBufferSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);

    std::scoped_lock guard(lock_);
    const std::string time = platform::FormatLocalTime("%Y-%m-%d %X", platform::CalendarSeconds());
    platform::WriteDebugOutput(ComposeLine(time, text, "\r\n"));
}

CVeldmoorLog& VeldmoorLog() {
    std::lock_guard guard(g_instanceMutex);
    if (!g_instance) g_instance = std::make_unique<CVeldmoorLogApi>();
    return *g_instance;
}

void DeleteVeldmoorLog() {
    std::lock_guard guard(g_instanceMutex);
    g_instance.reset();
}

std::string ThreadTag() {
    char tag[32];
    std::snprintf(tag, sizeof tag, "TID : %5lu] [", static_cast<unsigned long>(platform::CurrentThreadId()));
    return tag;
}

}  // namespace veldmoor
