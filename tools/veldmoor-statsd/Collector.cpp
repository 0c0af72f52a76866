#include "tools/veldmoor-statsd/Collector.h"

namespace veldmoor::statsd {
namespace {
// The answer's "error" values: 0 stored, 1 refused input, 2 storage failed.
constexpr int kRefusedInput = 1;
constexpr int kStorageFailed = 2;
}  // namespace

Collector::Collector(IEventStore& store, Logger logger, Clock clock)
    : store_(store), logger_(std::move(logger)), clock_(std::move(clock)) {}

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

    const BatchParseResult batch = ParseBatchBody(request.body);
    if (!batch.ok) return Refuse(request, 400, kRefusedInput, batch.error);
    std::string error;
    if (!store_.StoreBatch(batch.events, clock_(), request.peer, error))
        return Refuse(request, 503, kStorageFailed, "events not stored: " + error.substr(0, error.find('\n')));
    ++batchesStored_;
    eventsStored_ += batch.events.size();
    HttpResponse response;
    response.body = "{\"error\":0,\"stored\":" + std::to_string(batch.events.size()) + "}";
    return response;
}

}  // namespace veldmoor::statsd
