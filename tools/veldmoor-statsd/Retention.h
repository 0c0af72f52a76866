#pragma once
// Keeps the database to a size the publisher chooses: events older than
// `keepDays` days are summarised into the daily tables the report reads and
// then removed, and batch digests older than the replay window are dropped.
#include <cstdint>
#include <functional>
#include <string>

#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {

struct RetentionPolicy {
    uint32_t keepDays = 90;                // 0: events are kept for ever
    int64_t replayWindowSeconds = 86'400;  // a batch sent again within this is stored once
    int64_t everySeconds = 3'600;
};

class Retention {
public:
    using Logger = std::function<void(const std::string&)>;

    Retention(IEventStore& store, RetentionPolicy policy, Logger logger);
    // Runs a clean-up when the last one is `everySeconds` old (or none ran yet).
    void RunIfDue(int64_t now);
    bool Run(int64_t now, std::string& error);

private:
    IEventStore& store_;
    RetentionPolicy policy_;
    Logger logger_;
    int64_t nextRun_ = 0;
};

}  // namespace veldmoor::statsd
