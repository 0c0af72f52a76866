#pragma once
// The short texts the window paints and the events carry: sizes, speeds,
// durations and percentages. Units are binary (1 KB = 1024 bytes).
#include <cstdint>
#include <string>

#include "app/UserTexts.h"

namespace veldmoor {

// "1.9 GB", "1023 B"; "" for 0.
std::string FormatSize(uint64_t bytes);
// " 1 GB 2 MB 3 B": every unit spelled out; "" for 0.
std::string FormatSizeWhole(uint64_t bytes);
// "1.0 MB/s", "0 B/s", "未知" for absurd values.
std::string FormatSpeed(uint32_t bytesPerSecond, const TextTranslator& translate = {});
// "59 秒", "1 分钟 0 秒", "1 小时 0 分钟", "约 1 天".
std::string FormatDuration(uint32_t seconds, const TextTranslator& translate = {});
// "45.67%", "45%", "0%".
std::string FormatPercent(uint32_t permyriad);

}  // namespace veldmoor
