#include "tools/veldmoor-get/ProgressReport.h"

#include <algorithm>
#include <array>
#include <cinttypes>

namespace veldmoor {
namespace {

constexpr int32_t kFullProgress = 10000;
constexpr int kBarCells = 20;
constexpr size_t kRemarkLength = 60;

// The 64-bit size when the engine gives it; the 32-bit KiB field stops at 2 TiB.
int64_t TotalKiB(const TaskStatus& status) {
    return status.totalBytes > 0 ? status.totalBytes / 1024 : int64_t{status.total};
}

}  // namespace

std::string FormatStatusJson(const TaskStatus& status) {
    char line[320];
    std::snprintf(line, sizeof line,
                  "{\"progress\":%" PRId32 ",\"status\":%" PRId32 ",\"speed\":%" PRId32 ",\"from_sources\":%" PRId64
                  ",\"from_peers\":%" PRId64 ",\"on_disk\":%" PRId64 ",\"remaining\":%" PRId32 ",\"total_kib\":%" PRId64
                  "}",
                  status.progress, status.status, status.speed, status.fromSources, status.fromPeers, status.onDisk,
                  status.remaining, TotalKiB(status));
    return line;
}

std::string FormatBytes(int64_t bytes) {
    static constexpr std::array<const char*, 5> kUnits{"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    // Round first so that 1023.96 KiB shows as 1.0 MiB, not 1024.0 KiB.
    while (value >= 1023.95 && unit + 1 < kUnits.size()) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatDuration(int32_t seconds) {
    if (seconds <= 0) return "--:--";
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId32 ":%02" PRId32 ":%02" PRId32, seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

std::string FormatProgressLine(const TaskStatus& status) {
    const int32_t progress = std::clamp(status.progress, 0, kFullProgress);
    const int filled = progress * kBarCells / kFullProgress;
    std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(kBarCells - filled), '.') + "]";

    const int64_t totalBytes = status.totalBytes > 0 ? status.totalBytes : int64_t{status.total} * 1024;
    const int64_t doneBytes = totalBytes * progress / kFullProgress;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3" PRId32 ".%02" PRId32 "%%", progress / 100, progress % 100);
    const std::string size =
        status.total > 0 ? FormatBytes(doneBytes) + " / " + FormatBytes(totalBytes) : "size unknown";
    return bar + " " + percent + "  " + size + "  " + FormatBytes(std::max(status.speed, 0)) + "/s  " +
           FormatDuration(status.remaining) + " left";
}

std::string FormatSourceNote(const std::string& note) {
    const size_t tab = note.find('\t');
    if (tab == std::string::npos) return note;
    if (tab == 0) return note.substr(1);
    return "source " + note.substr(0, tab) + ": " + note.substr(tab + 1);
}

void ProgressBar::Show(const TaskStatus& status) {
    std::string line = FormatProgressLine(status);
    if (!remark_.empty())
        line += "  " + (remark_.size() > kRemarkLength ? remark_.substr(0, kRemarkLength - 3) + "..." : remark_);
    // Blanks cover what is left of a longer earlier line.
    const size_t padding = shownLength_ > line.size() ? shownLength_ - line.size() : 0;
    std::fprintf(stream_, "\r%s%*s", line.c_str(), static_cast<int>(padding), "");
    std::fflush(stream_);
    shownLength_ = line.size();
}

void ProgressBar::Clear() {
    if (shownLength_ == 0) return;
    std::fprintf(stream_, "\r%*s\r", static_cast<int>(shownLength_), "");
    std::fflush(stream_);
    shownLength_ = 0;
}

}  // namespace veldmoor
