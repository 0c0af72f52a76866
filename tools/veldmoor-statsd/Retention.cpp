#include "tools/veldmoor-statsd/Retention.h"

#include "tools/veldmoor-statsd/Report.h"

namespace veldmoor::statsd {

namespace {
constexpr int64_t kDaySeconds = 86'400;
}

Retention::Retention(IEventStore& store, RetentionPolicy policy, Logger logger)
    : store_(store), policy_(policy), logger_(std::move(logger)) {}

void Retention::RunIfDue(int64_t now) {
    if (now < nextRun_) return;
    // A failed clean-up is tried again at the next interval, not at once.
    nextRun_ = now + policy_.everySeconds;
    std::string error;
    if (!Run(now, error)) logger_("clean-up failed: " + error.substr(0, error.find('\n')));
}

bool Retention::Run(int64_t now, std::string& error) {
    std::vector<std::string> statements;
    if (policy_.keepDays > 0) {
        const std::string firstKeptDay = UtcDay(now - int64_t{policy_.keepDays} * kDaySeconds);
        statements = SummariseDaysBeforeSql(firstKeptDay);
        statements.push_back("DELETE FROM events WHERE day < '" + firstKeptDay + "'");
    }
    statements.push_back("DELETE FROM batch_digests WHERE received_at < " +
                         std::to_string(now - policy_.replayWindowSeconds));
    return store_.RunAlone(statements, error);
}

}  // namespace veldmoor::statsd
