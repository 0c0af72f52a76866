#include "tools/veldmoor-statsd/Collector.h"

#include <set>

#include "platform/Clock.h"

namespace veldmoor::statsd {
namespace {
// The answer's "error" values: 0 stored, 1 refused input, 2 storage failed,
// 3 the sender is over its share.
constexpr int kRefusedInput = 1;
constexpr int kStorageFailed = 2;
constexpr int kOverLimit = 3;
}  // namespace

Collector::Collector(IEventStore& store, Logger logger, Clock clock, CollectorLimits limits)
    : store_(store),
      logger_(std::move(logger)),
      clock_(std::move(clock)),
      addressBatches_(limits.perAddress),
      machineBatches_(limits.perMachine) {}

HttpResponse Collector::Refuse(const HttpRequest& request, int status, int error, const std::string& reason) {
    ++refused_;
    logger_("refused " + std::to_string(status) + " from " + request.peer + ": " + reason);
    return JsonAnswer(status, error, reason);
}

HttpResponse Collector::Handle(const HttpRequest& request) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (path == "/health") {
        if (request.method != "GET") return Refuse(request, 405, kRefusedInput, "use GET");
        return JsonAnswer(200, 0, "ok");
    }
    if (path != kBatchPath) return Refuse(request, 404, kRefusedInput, "no such path: " + path.substr(0, 200));
    if (request.method != "POST") return Refuse(request, 405, kRefusedInput, "use POST");
    return HandleBatch(request);
}

HttpResponse Collector::HandleBatch(const HttpRequest& request) {
    // Counted before parsing, so a flood of junk costs its sender too.
    if (!addressBatches_.Take(request.client, platform::TickMs()))
        return Refuse(request, 429, kOverLimit, "too many batches from this address; slow down");
    const BatchParseResult batch = ParseBatchBody(request.body);
    if (!batch.ok) return Refuse(request, 400, kRefusedInput, batch.error);
    std::set<std::string> machines;
    for (const ParsedEvent& event : batch.events) machines.insert(event.machineId);
    for (const std::string& machine : machines) {
        if (!machineBatches_.Take(machine, platform::TickMs()))
            return Refuse(request, 429, kOverLimit, "too many batches from machine " + machine + "; slow down");
    }
    std::string error;
    const BatchStamp stamp{clock_(), request.peer, BatchDigest(batch.events)};
    switch (store_.StoreBatch(batch.events, stamp, error)) {
        case StoreOutcome::kFailed:
            return Refuse(request, 503, kStorageFailed, "events not stored: " + error.substr(0, error.find('\n')));
        case StoreOutcome::kReplayed:
            // Taken, so a sender whose answer was lost does not try again.
            ++batchesReplayed_;
            return HttpResponse{200, "{\"error\":0,\"stored\":0}"};
        case StoreOutcome::kStored:
            break;
    }
    ++batchesStored_;
    eventsStored_ += batch.events.size();
    return HttpResponse{200, "{\"error\":0,\"stored\":" + std::to_string(batch.events.size()) + "}"};
}

}  // namespace veldmoor::statsd
