// veldmoor-statsd: receives the statistics batches the downloader posts,
// stores every event, and prints the publisher's report.
#include <algorithm>
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
#include "tools/veldmoor-statsd/Report.h"

namespace {

constexpr const char* kUsage =
    "usage: veldmoor-statsd serve [--listen ADDRESS:PORT] [--database DATABASE]\n"
    "       veldmoor-statsd report [--database DATABASE]\n"
    "\n"
    "  --listen    IPv4 address and port to take batches on (default 0.0.0.0:8080)\n"
    "  --database  a SQLite file (default statsd.sqlite), or a PostgreSQL connection\n"
    "              string (\"postgresql://user@host/db\" or \"host=... dbname=...\")\n";

void Log(const std::string& line) {
    const std::string stamp = veldmoor::platform::FormatLocalTime("%Y-%m-%d %H:%M:%S", veldmoor::platform::CalendarSeconds());
    veldmoor::platform::WriteDebugOutput("[" + stamp + "] " + line + "\n");
}

struct Options {
    std::string command;
    std::string listen = "0.0.0.0:8080";
    std::string database = "statsd.sqlite";
};

bool ParseOptions(const std::vector<std::string_view>& arguments, Options& options) {
    if (arguments.empty()) return false;
    options.command = arguments[0];
    if (options.command != "serve" && options.command != "report") return false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (i + 1 >= arguments.size()) return false;
        if (arguments[i] == "--listen" && options.command == "serve")
            options.listen = arguments[++i];
        else if (arguments[i] == "--database")
            options.database = arguments[++i];
        else
            return false;
    }
    return true;
}

int Serve(veldmoor::statsd::IEventStore& store, const Options& options) {
    using namespace veldmoor;
    statsd::Collector collector(store, Log, [] { return platform::CalendarSeconds(); });
    statsd::HttpLimits limits;
    // Keep descriptors in hand for the listener, the database and the log.
    const long descriptors = platform::RaiseOpenFileLimit();
    if (descriptors > 0) limits.connections = std::min<size_t>(limits.connections, static_cast<size_t>(std::max(descriptors - 64, 16L)));
    statsd::HttpServer server([&](const statsd::HttpRequest& request) { return collector.Handle(request); }, Log, limits);
    std::string error;
    if (!server.Listen(options.listen, error)) {
        Log("veldmoor-statsd: " + error);
        return 1;
    }
    Log("listening on " + options.listen.substr(0, options.listen.rfind(':')) + ":" + std::to_string(server.Port()));
    while (platform::ReceivedStopSignal() == platform::StopSignal::kNone) server.Step(200);
    Log("stopping: " + std::to_string(collector.BatchesStored()) + " batches, " +
        std::to_string(collector.EventsStored()) + " events stored, " + std::to_string(collector.Refused()) +
        " requests refused");
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
