// veldmoor-statsd: receives the statistics batches the downloader posts,
// stores every event, and prints the publisher's report.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Signals.h"
#include "platform/SocketLayer.h"
#include "platform/SocketPoll.h"
#include "tools/veldmoor-statsd/Collector.h"
#include "tools/veldmoor-statsd/LogThrottle.h"
#include "tools/veldmoor-statsd/Report.h"
#include "tools/veldmoor-statsd/Retention.h"

namespace {

constexpr const char* kUsage =
    "usage: veldmoor-statsd serve [--listen ADDRESS:PORT] [--database DATABASE] [LIMITS]\n"
    "       veldmoor-statsd report [--database DATABASE]\n"
    "\n"
    "  --listen    IPv4 address and port to take batches on (default 0.0.0.0:8080)\n"
    "  --database  a SQLite file (default statsd.sqlite), or a PostgreSQL connection\n"
    "              string (\"postgresql://user@host/db\" or \"host=... dbname=...\")\n"
    "\n"
    "limits of serve (whole numbers; defaults in brackets):\n"
    "  --max-connections N              connections held at once [4096]\n"
    "  --max-connections-per-address N  of them from one address [64]\n"
    "  --body-memory MIB                request bodies held at once [64]\n"
    "  --body-memory-per-address MIB    of it for one address [8]\n"
    "  --header-timeout S               request line and header fields within [10]\n"
    "  --idle-timeout S                 no byte for this long closes [10]\n"
    "  --request-timeout S              whole request within [30]\n"
    "  --min-body-rate BYTES            body bytes a second, after 5 s of grace [16384]\n"
    "  --address-rate N                 batches a minute from one address, 0 unlimited [300]\n"
    "  --address-burst N                batches one address may send at once [100]\n"
    "  --machine-rate N                 batches a minute from one machine, 0 unlimited [60]\n"
    "  --machine-burst N                batches one machine may send at once [60]\n"
    "  --replay-window S                an identical batch within this is stored once [3600]\n"
    "  --keep-days N                    days of events kept; older ones only as daily\n"
    "                                   figures (0 keeps every event) [90]\n"
    "  --log-rate N                     log lines a second before they are counted only [10]\n"
    "  --log-burst N                    log lines at once [50]\n"
    "  --trusted-proxy ADDRESS          a reverse proxy in front (may be repeated): not held\n"
    "                                   to one address's share; its X-Forwarded-For names\n"
    "                                   the client [none]\n";

void Log(const std::string& line) {
    const std::string stamp = veldmoor::platform::FormatLocalTime("%Y-%m-%d %H:%M:%S", veldmoor::platform::CalendarSeconds());
    veldmoor::platform::WriteDebugOutput("[" + stamp + "] " + line + "\n");
}

struct Options {
    std::string command;
    std::string listen = "0.0.0.0:8080";
    std::string database = "statsd.sqlite";
    veldmoor::statsd::HttpLimits http;
    veldmoor::statsd::CollectorLimits collector;
    veldmoor::statsd::RetentionPolicy retention;
    veldmoor::statsd::LogBudget log;
};

struct NumberOption {
    std::string_view name;
    uint64_t min;
    uint64_t max;
    void (*apply)(Options&, uint64_t);
};

constexpr uint64_t kMiB = 1024 * 1024;

const NumberOption kNumberOptions[] = {
    {"--max-connections", 1, 1'000'000, [](Options& o, uint64_t v) { o.http.connections = v; }},
    {"--max-connections-per-address", 1, 1'000'000, [](Options& o, uint64_t v) { o.http.connectionsPerAddress = v; }},
    {"--body-memory", 1, 1 << 20, [](Options& o, uint64_t v) { o.http.bodyMemory = v * kMiB; }},
    {"--body-memory-per-address", 1, 1 << 20, [](Options& o, uint64_t v) { o.http.bodyMemoryPerAddress = v * kMiB; }},
    {"--header-timeout", 1, 3600, [](Options& o, uint64_t v) { o.http.headerMs = static_cast<uint32_t>(v * 1000); }},
    {"--idle-timeout", 1, 3600, [](Options& o, uint64_t v) { o.http.idleMs = static_cast<uint32_t>(v * 1000); }},
    {"--request-timeout", 1, 3600, [](Options& o, uint64_t v) { o.http.requestMs = static_cast<uint32_t>(v * 1000); }},
    {"--min-body-rate", 0, 1ull << 30, [](Options& o, uint64_t v) { o.http.minBodyBytesPerSecond = v; }},
    {"--address-rate", 0, 1'000'000, [](Options& o, uint64_t v) { o.collector.perAddress.perMinute = static_cast<uint32_t>(v); }},
    {"--address-burst", 1, 1'000'000, [](Options& o, uint64_t v) { o.collector.perAddress.burst = static_cast<uint32_t>(v); }},
    {"--machine-rate", 0, 1'000'000, [](Options& o, uint64_t v) { o.collector.perMachine.perMinute = static_cast<uint32_t>(v); }},
    {"--machine-burst", 1, 1'000'000, [](Options& o, uint64_t v) { o.collector.perMachine.burst = static_cast<uint32_t>(v); }},
    {"--replay-window", 0, 365 * 86'400, [](Options& o, uint64_t v) { o.retention.replayWindowSeconds = static_cast<int64_t>(v); }},
    {"--keep-days", 0, 100 * 365, [](Options& o, uint64_t v) { o.retention.keepDays = static_cast<uint32_t>(v); }},
    {"--log-rate", 1, 1'000'000, [](Options& o, uint64_t v) { o.log.linesPerSecond = static_cast<uint32_t>(v); }},
    {"--log-burst", 1, 1'000'000, [](Options& o, uint64_t v) { o.log.burst = static_cast<uint32_t>(v); }},
};

bool ApplyNumberOption(std::string_view name, std::string_view text, Options& options) {
    for (const NumberOption& option : kNumberOptions) {
        if (option.name != name) continue;
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || value < option.min || value > option.max) {
            std::fprintf(stderr, "veldmoor-statsd: %.*s takes a whole number from %llu to %llu\n",
                         static_cast<int>(name.size()), name.data(), static_cast<unsigned long long>(option.min),
                         static_cast<unsigned long long>(option.max));
            return false;
        }
        option.apply(options, value);
        return true;
    }
    return false;
}

bool AddTrustedProxy(std::string_view text, Options& options) {
    const std::optional<veldmoor::IpAddress> address = veldmoor::IpAddress::Parse(text);
    if (!address) {
        std::fprintf(stderr, "veldmoor-statsd: --trusted-proxy takes an IPv4 or IPv6 address\n");
        return false;
    }
    options.http.trustedProxies.insert(*address);
    return true;
}

// One option and its value; false when either is wrong.
bool ApplyOption(std::string_view name, std::string_view value, Options& options) {
    const bool serving = options.command == "serve";
    if (name == "--database") {
        options.database = value;
        return true;
    }
    if (!serving) return false;
    if (name == "--listen") {
        options.listen = value;
        return true;
    }
    if (name == "--trusted-proxy") return AddTrustedProxy(value, options);
    return ApplyNumberOption(name, value, options);
}

bool ParseOptions(const std::vector<std::string_view>& arguments, Options& options) {
    if (arguments.empty()) return false;
    options.command = arguments[0];
    if (options.command != "serve" && options.command != "report") return false;
    for (size_t i = 1; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size() || !ApplyOption(arguments[i], arguments[i + 1], options)) return false;
    }
    return true;
}

int Serve(veldmoor::statsd::IEventStore& store, const Options& options) {
    using namespace veldmoor;
    statsd::LogThrottle log(Log, options.log);
    const auto throttled = [&log](const std::string& line) { log.Write(line); };
    statsd::Collector collector(store, throttled, [] { return platform::CalendarSeconds(); }, options.collector);
    statsd::Retention retention(store, options.retention, throttled);
    statsd::HttpLimits limits = options.http;
    // Keep descriptors in hand for the listener, the database and the log.
    const long descriptors = platform::RaiseOpenFileLimit();
    if (descriptors > 0) limits.connections = std::min<size_t>(limits.connections, static_cast<size_t>(std::max(descriptors - 64, 16L)));
    statsd::HttpServer server([&](const statsd::HttpRequest& request) { return collector.Handle(request); }, throttled,
                              limits);
    std::string error;
    if (!server.Listen(options.listen, error)) {
        log.WriteAlways("veldmoor-statsd: " + error);
        return 1;
    }
    log.WriteAlways("listening on " + options.listen.substr(0, options.listen.rfind(':')) + ":" +
                    std::to_string(server.Port()));
    while (platform::ReceivedStopSignal() == platform::StopSignal::kNone) {
        server.Step(200);
        retention.RunIfDue(platform::CalendarSeconds());
    }
    log.WriteAlways("stopping: " + std::to_string(collector.BatchesStored()) + " batches, " +
                    std::to_string(collector.EventsStored()) + " events stored, " +
                    std::to_string(collector.BatchesReplayed()) + " replayed batches not stored again, " +
                    std::to_string(collector.Refused()) + " requests refused");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace veldmoor;
    Options options;
    if (!ParseOptions(std::vector<std::string_view>(argv + 1, argv + argc), options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.command == "serve" && !platform::WatchStopSignals()) {
        Log("veldmoor-statsd: could not watch for stop signals");
        return 1;
    }
    platform::StartSocketLayer();
    std::string error;
    auto store = statsd::OpenEventStore(options.database, error);
    if (!store || !store->Prepare(error)) {
        Log("veldmoor-statsd: cannot use the database: " + error.substr(0, error.find('\n')));
        return 1;
    }
    if (options.command == "report") {
        std::string text;
        if (!statsd::BuildReport(*store, text, error)) {
            Log("veldmoor-statsd: report failed: " + error);
            return 1;
        }
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    return Serve(*store, options);
}
