#pragma once
// Keeps a flood of refusals from flooding the journal: lines pass while the
// budget lasts (a burst, refilled at a steady rate); the rest are counted,
// and the count is written before the next line that passes.
#include <cstdint>
#include <functional>
#include <string>

namespace veldmoor::statsd {

struct LogBudget {
    uint32_t linesPerSecond = 10;
    uint32_t burst = 50;
};

class LogThrottle {
public:
    using Sink = std::function<void(const std::string&)>;

    explicit LogThrottle(Sink sink, LogBudget budget = {});
    void Write(const std::string& line);
    // Writes a line whatever the budget (start, stop, fatal errors).
    void WriteAlways(const std::string& line);

private:
    void Refill(uint32_t now);
    void ReportSuppressed();

    Sink sink_;
    LogBudget budget_;
    double lines_;
    uint32_t lastRefillMs_;
    uint64_t suppressed_ = 0;
};

}  // namespace veldmoor::statsd
