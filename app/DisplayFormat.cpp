#include "app/DisplayFormat.h"

#include <cinttypes>
#include <cstdio>

#include "app/UserTexts.h"

namespace veldmoor {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = kKiB * 1024;
constexpr uint64_t kGiB = kMiB * 1024;
constexpr uint64_t kTiB = kGiB * 1024;
constexpr uint32_t kUnknownSpeed = 0xCCCCCCCCu;

struct Unit {
    uint64_t size;
    const char* name;
};
constexpr Unit kUnits[] = {{kTiB, "TB"}, {kGiB, "GB"}, {kMiB, "MB"}, {kKiB, "KB"}};

std::string Printf(const char* format, double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, format, value, unit);
    return text;
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
    if (bytes == 0) return {};
    for (const Unit& unit : kUnits) {
        if (bytes >= unit.size)
            return Printf("%0.1f %s", static_cast<double>(bytes) / static_cast<double>(unit.size), unit.name);
    }
    return std::to_string(bytes) + " B";
}

std::string FormatSizeWhole(uint64_t bytes) {
    if (bytes == 0) return {};
    for (const Unit& unit : kUnits) {
        if (bytes >= unit.size)
            return " " + std::to_string(bytes / unit.size) + " " + unit.name + FormatSizeWhole(bytes % unit.size);
    }
    return " " + std::to_string(bytes) + " B";
}

std::string FormatSpeed(uint32_t bytesPerSecond) {
    const uint64_t speed = bytesPerSecond;
    if (bytesPerSecond >= kUnknownSpeed) return QT_TRANSLATE_NOOP("UserTexts", "未知");
    if (speed >= kGiB) return Printf("%0.1f %s/s", static_cast<double>(speed) / static_cast<double>(kGiB), "GB");
    if (speed >= kMiB) return Printf("%0.1f %s/s", static_cast<double>(speed) / static_cast<double>(kMiB), "MB");
    if (speed < kKiB) return std::to_string(speed) + " B/s";
    return Printf("%0.1f %s/s", static_cast<double>(speed) / static_cast<double>(kKiB), "KB");
}

std::string FormatDuration(uint32_t seconds) {
    constexpr uint32_t kYear = 31104000, kMonth = 2592000, kDay = 86400, kHour = 3600, kMinute = 60;
    const auto n = [](uint32_t value) { return std::to_string(value); };
    if (seconds >= kYear) return "约 " + n(seconds / kYear) + " 年";
    if (seconds >= kMonth) return "约 " + n(seconds / kMonth) + " 月";
    if (seconds >= kDay) return "约 " + n(seconds / kDay) + " 天";
    if (seconds >= kHour) return n(seconds / kHour) + " 小时 " + n(seconds % kHour / kMinute) + " 分钟";
    if (seconds < kMinute) return n(seconds) + " 秒";
    return n(seconds / kMinute) + " 分钟 " + n(seconds % kMinute) + " 秒";
}

std::string FormatPercent(uint32_t permyriad) {
    if (permyriad == 0) return "0%";
    char text[32];
    if (permyriad % 100 != 0)
        std::snprintf(text, sizeof text, "%u.%02u%%", permyriad / 100, permyriad % 100);
    else
        std::snprintf(text, sizeof text, "%u%%", permyriad / 100);
    return text;
}

}  // namespace veldmoor
