#pragma once
// The collector's answers: the batch path stores what parses, everything
// else gets a clear refusal.
#include <cstdint>
#include <functional>
#include <string>

#include "tools/veldmoor-statsd/EventStore.h"
#include "tools/veldmoor-statsd/HttpServer.h"

namespace veldmoor::statsd {

inline constexpr const char* kBatchPath = "/launchersubmit/eventListSubmit";
inline constexpr const char* kSingleEventPath = "/launchersubmit/eventInfoSubmit";

class Collector {
public:
    using Logger = std::function<void(const std::string&)>;
    using Clock = std::function<int64_t()>;

    Collector(IEventStore& store, Logger logger, Clock clock);
    HttpResponse Handle(const HttpRequest& request);

    uint64_t BatchesStored() const { return batchesStored_; }
    uint64_t EventsStored() const { return eventsStored_; }
    uint64_t Refused() const { return refused_; }

private:
    HttpResponse Refuse(const HttpRequest& request, int status, int error, const std::string& reason);

    IEventStore& store_;
    Logger logger_;
    Clock clock_;
    uint64_t batchesStored_ = 0;
    uint64_t eventsStored_ = 0;
    uint64_t refused_ = 0;
};

}  // namespace veldmoor::statsd
