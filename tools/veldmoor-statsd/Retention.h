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
    // A batch sent again within this is stored once. The downloader never
    // sends a batch twice, but a simple event (all numbers 0) raised again
    // in the same run, alone in its batch, looks the same: the window is
    // kept short so such a repeat is only lost when it comes within it.
    int64_t replayWindowSeconds = 3'600;
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
