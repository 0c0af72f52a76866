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

std::string FormatSpeed(uint32_t bytesPerSecond, const TextTranslator& translate) {
    const uint64_t speed = bytesPerSecond;
    if (bytesPerSecond >= kUnknownSpeed) return ComposeText(UserText::unknown, translate);
    if (speed >= kGiB) return Printf("%0.1f %s/s", static_cast<double>(speed) / static_cast<double>(kGiB), "GB");
    if (speed >= kMiB) return Printf("%0.1f %s/s", static_cast<double>(speed) / static_cast<double>(kMiB), "MB");
    if (speed < kKiB) return std::to_string(speed) + " B/s";
    return Printf("%0.1f %s/s", static_cast<double>(speed) / static_cast<double>(kKiB), "KB");
}

std::string FormatDuration(uint32_t seconds, const TextTranslator& translate) {
    constexpr uint32_t kYear = 31104000, kMonth = 2592000, kDay = 86400, kHour = 3600, kMinute = 60;
    const auto n = [](uint32_t value) { return std::to_string(value); };
    const auto text = [&](UserText id, std::initializer_list<std::string> arguments) {
        return ComposeText(id, translate, arguments);
    };
    if (seconds >= kYear) return text(UserText::aboutYears, {n(seconds / kYear)});
    if (seconds >= kMonth) return text(UserText::aboutMonths, {n(seconds / kMonth)});
    if (seconds >= kDay) return text(UserText::aboutDays, {n(seconds / kDay)});
    if (seconds >= kHour) return text(UserText::hoursMinutes, {n(seconds / kHour), n(seconds % kHour / kMinute)});
    if (seconds < kMinute) return text(UserText::seconds, {n(seconds)});
    return text(UserText::minutesSeconds, {n(seconds / kMinute), n(seconds % kMinute)});
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
