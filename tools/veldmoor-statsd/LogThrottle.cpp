#include "tools/veldmoor-statsd/LogThrottle.h"

#include <algorithm>

#include "platform/Clock.h"

namespace veldmoor::statsd {

LogThrottle::LogThrottle(Sink sink, LogBudget budget)
    : sink_(std::move(sink)), budget_(budget), lines_(budget.burst), lastRefillMs_(platform::TickMs()) {}

void LogThrottle::Refill(uint32_t now) {
    const uint32_t elapsed = now - lastRefillMs_;
    lines_ = std::min<double>(budget_.burst, lines_ + elapsed * static_cast<double>(budget_.linesPerSecond) / 1000.0);
    lastRefillMs_ = now;
}

void LogThrottle::ReportSuppressed() {
    if (suppressed_ == 0) return;
    sink_("(" + std::to_string(suppressed_) + " log lines suppressed)");
    suppressed_ = 0;
}

void LogThrottle::Write(const std::string& line) {
    Refill(platform::TickMs());
    if (lines_ < 1.0) {
        ++suppressed_;
        return;
    }
    lines_ -= 1.0;
    ReportSuppressed();
    sink_(line);
}

void LogThrottle::WriteAlways(const std::string& line) {
    ReportSuppressed();
    sink_(line);
}

}  // namespace veldmoor::statsd
