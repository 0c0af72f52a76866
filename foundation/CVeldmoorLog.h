#pragma once
// Diagnostic lines by channel and level: the level decides whether a line goes
// to the debugger output, the channel whether (and into which file) it goes.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace veldmoor {

class CVeldmoorLog {
public:
    virtual ~CVeldmoorLog() = default;
    virtual void SetLevels(int32_t fileThreshold, int32_t debuggerThreshold) = 0;
    virtual void SetBasePath(const std::string& basePath) = 0;
    virtual void Write(const std::string& text, int32_t channel, int32_t level) = 0;
    virtual void Debug(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

class CVeldmoorLogApi final : public CVeldmoorLog {
public:
    static constexpr int32_t kStandardFileThreshold = 38;
    static constexpr int32_t kStandardDebuggerThreshold = 2;
    static constexpr int32_t kSilent = 39;
    static constexpr size_t kLineBufferSize = 4096;

    CVeldmoorLogApi();

    void SetLevels(int32_t fileThreshold, int32_t debuggerThreshold) override;
    void SetBasePath(const std::string& basePath) override;
    void Write(const std::string& text, int32_t channel, int32_t level) override;
    void Debug(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // The file a line of this channel is appended to ("" before SetBasePath).
    std::string FileForChannel(int32_t channel);

private:
    static size_t SlotForChannel(int32_t channel);

    int32_t fileThreshold_ = 0;
    int32_t debuggerThreshold_ = 0;
    std::mutex lock_;
    std::array<std::string, 11> paths_;
};

// The process-wide log, created on first use.
CVeldmoorLog& VeldmoorLog();
// Deletes the process-wide log at shutdown; a later use creates a new one.
void DeleteVeldmoorLog();

// "TID : %5lu] [" for the calling thread, the prefix of lines that name their thread.
std::string ThreadTag();

}  // namespace veldmoor
