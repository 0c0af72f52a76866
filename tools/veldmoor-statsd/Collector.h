#pragma once
// The collector's answers: the batch path stores what parses, everything
// else gets a clear refusal. Each address and each machine may post only so
// many batches a minute, and a batch stored already is not stored again.
#include <cstdint>
#include <functional>
#include <string>

#include "tools/veldmoor-statsd/EventStore.h"
#include "tools/veldmoor-statsd/HttpServer.h"
#include "tools/veldmoor-statsd/RateLimiter.h"

namespace veldmoor::statsd {

inline constexpr const char* kBatchPath = "/launchersubmit/eventListSubmit";
inline constexpr const char* kSingleEventPath = "/launchersubmit/eventInfoSubmit";

// A downloader posts at most one batch a second, and a backlog of up to 50
// batches back to back after an outage; an address may hide many machines.
struct CollectorLimits {
    RateBudget perAddress{300, 100};
    RateBudget perMachine{60, 60};
};

class Collector {
public:
    using Logger = std::function<void(const std::string&)>;
    using Clock = std::function<int64_t()>;

    Collector(IEventStore& store, Logger logger, Clock clock, CollectorLimits limits = {});
    HttpResponse Handle(const HttpRequest& request);

    uint64_t BatchesStored() const { return batchesStored_; }
    uint64_t EventsStored() const { return eventsStored_; }
    uint64_t BatchesReplayed() const { return batchesReplayed_; }
    uint64_t Refused() const { return refused_; }

private:
    HttpResponse HandleBatch(const HttpRequest& request);
    HttpResponse Refuse(const HttpRequest& request, int status, int error, const std::string& reason);

    IEventStore& store_;
    Logger logger_;
    Clock clock_;
    RateLimiter addressBatches_;
    RateLimiter machineBatches_;
    uint64_t batchesStored_ = 0;
    uint64_t eventsStored_ = 0;
    uint64_t batchesReplayed_ = 0;
    uint64_t refused_ = 0;
};

}  // namespace veldmoor::statsd
