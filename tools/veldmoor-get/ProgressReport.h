#pragma once
// What a run shows of its task's status: the JSON status line for programs
// and the progress bar for people.
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/TaskApi.h"

namespace veldmoor {

// One compact JSON object, no newline. The keys and their order never change:
// progress (permyriad), status, speed (B/s), from_sources, from_peers, on_disk
// (bytes), remaining (s, 0 = unknown), total_kib.
std::string FormatStatusJson(const TaskStatus& status);

// "1023 B", "1.5 KiB", "12.3 MiB", "2.0 GiB".
std::string FormatBytes(int64_t bytes);
// "0:05:12"; "--:--" for 0 (unknown) or less.
std::string FormatDuration(int32_t seconds);
// The progress bar's text, without a line ending: bar, percentage, size
// done / total, speed and time left.
std::string FormatProgressLine(const TaskStatus& status);

// A note on a failed source as one line: "source URL: text", or the text
// alone for the task as a whole; from a line "URL<TAB>text" of
// TaskTakeSourceNotes (no line ending).
std::string FormatSourceNote(const std::string& note);

// Redraws the progress line in place on a terminal stream.
class ProgressBar {
public:
    explicit ProgressBar(std::FILE* stream) : stream_(stream) {}
    // Shown after the figures until replaced, cut to a few dozen characters
    // (the last source problem); "" for none.
    void SetRemark(const std::string& remark) { remark_ = remark; }
    void Show(const TaskStatus& status);
    // Takes the line away so that other text starts on a clean line.
    void Clear();

private:
    std::FILE* stream_;
    std::string remark_;
    size_t shownLength_ = 0;
};

}  // namespace veldmoor
