#include "tools/veldmoor-statsd/Report.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "foundation/EventCodes.h"

namespace veldmoor::statsd {
namespace {

constexpr const char* kStarted = kEventDownloadBegun;
constexpr const char* kFinished = kEventFinished;
constexpr const char* kVerified = kEventVerifyPassed;
constexpr const char* kRepaired = kEventRepairMatched;
constexpr const char* kInstallPressed = kEventMainButtonFinished;

struct CodeFigures {
    long long events = 0;
    long long machines = 0;
    double totalBytes = 0, peerBytes = 0, speedSum = 0, httpSpeedSum = 0, peerSpeedSum = 0;
};

// Codes that end or break a download; piece checks, host names and port
// mapping are reported by code but do not count as a failed download.
constexpr const char* kDownloadFailures[] = {kEventEngineStartFailed, kEventReleaseFailed,      kEventMd5Mismatch,
                                             kEventInstallerNotOpened, kEventInstallerMissing, kEventNetworkTimeout,
                                             kEventDiskSpaceLow,      kEventUnknownExit};

// The failure codes as an SQL list: 'a','b',...
std::string DownloadFailureList() {
    std::string list;
    for (const char* code : kDownloadFailures) list += std::string(list.empty() ? "" : ",") + "'" + code + "'";
    return list;
}

bool IsFailure(const std::string& code) {
    return code.rfind("114", 0) == 0 || code.rfind("115", 0) == 0 || code.rfind("116", 0) == 0 ||
           code.rfind("119", 0) == 0;
}

std::string Speed(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1048576.0)
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1048576.0);
    else if (bytesPerSecond >= 1024.0)
        std::snprintf(text, sizeof text, "%.1f KB/s", bytesPerSecond / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    return text;
}

std::string Line(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// The report's figures per day and code, and per day the machines with a
// failed download: from the events, and from the summaries of days whose
// events were removed.
constexpr const char* kCodeFigures =
    "SELECT day, code, COUNT(*), COUNT(DISTINCT machine_id), SUM(total_bytes), SUM(p2p_bytes),"
    " SUM(average_speed), SUM(http_speed), SUM(p2p_speed) FROM events";
const std::string kFailedMachines =
    std::string("SELECT day, COUNT(DISTINCT machine_id) FROM events WHERE code IN (") + DownloadFailureList() + ")";

}  // namespace

std::vector<std::string> SummariseDaysBeforeSql(const std::string& day) {
    const std::string before = " day < '" + day + "'";
    return {"INSERT INTO daily_codes " + std::string(kCodeFigures) + " WHERE" + before +
                " GROUP BY day, code ON CONFLICT DO NOTHING",
            "INSERT INTO daily_failed " + kFailedMachines + " AND" + before + " GROUP BY day ON CONFLICT DO NOTHING"};
}

bool BuildReport(IEventStore& store, std::string& text, std::string& error) {
    Rows rows;
    if (!store.Query(std::string(kCodeFigures) +
                         " GROUP BY day, code UNION ALL SELECT day, code, events, machines, total_bytes, p2p_bytes,"
                         " average_speed, http_speed, p2p_speed FROM daily_codes ORDER BY 1, 2",
                     rows, error))
        return false;
    Rows failedRows;
    if (!store.Query(kFailedMachines + " GROUP BY day UNION ALL SELECT day, machines FROM daily_failed", failedRows, error))
        return false;
    std::map<std::string, long long> failedMachines;
    for (const auto& row : failedRows)
        if (row.size() == 2) failedMachines[row[0]] = std::atoll(row[1].c_str());
    std::map<std::string, std::map<std::string, CodeFigures>> days;
    for (const auto& row : rows) {
        if (row.size() != 9) continue;
        CodeFigures& figures = days[row[0]][row[1]];
        figures.events = std::atoll(row[2].c_str());
        figures.machines = std::atoll(row[3].c_str());
        figures.totalBytes = std::atof(row[4].c_str());
        figures.peerBytes = std::atof(row[5].c_str());
        figures.speedSum = std::atof(row[6].c_str());
        figures.httpSpeedSum = std::atof(row[7].c_str());
        figures.peerSpeedSum = std::atof(row[8].c_str());
    }

    text = "Download funnel per day (machines)\n";
    text += Line("%-10s %8s %9s %8s %8s %9s %7s\n", "day", "started", "completed", "verified", "repaired", "installed", "failed");
    std::string failures;
    std::string speeds = "Finished downloads per day\n";
    speeds += Line("%-10s %9s %12s %12s %12s %17s\n", "day", "downloads", "average", "HTTP", "peers", "bytes from peers");
    for (const auto& [day, codes] : days) {
        const auto machines = [&](const char* code) {
            const auto found = codes.find(code);
            return found == codes.end() ? 0LL : found->second.machines;
        };
        for (const auto& [code, figures] : codes) {
            if (!IsFailure(code)) continue;
            failures += Line("%-10s %s  %lld events on %lld machines\n", day.c_str(), code.c_str(), figures.events,
                             figures.machines);
        }
        text += Line("%-10s %8lld %9lld %8lld %8lld %9lld %7lld\n", day.c_str(), machines(kStarted), machines(kFinished),
                     machines(kVerified), machines(kRepaired), machines(kInstallPressed), failedMachines[day]);
        const auto finished = codes.find(kFinished);
        if (finished != codes.end() && finished->second.events > 0) {
            const CodeFigures& f = finished->second;
            const auto n = static_cast<double>(f.events);
            const double share = f.totalBytes > 0 ? 100.0 * f.peerBytes / f.totalBytes : 0.0;
            speeds += Line("%-10s %9lld %12s %12s %12s %16.1f%%\n", day.c_str(), f.events, Speed(f.speedSum / n).c_str(),
                           Speed(f.httpSpeedSum / n).c_str(), Speed(f.peerSpeedSum / n).c_str(), share);
        }
    }
    text += "\nFailures by code\n" + (failures.empty() ? std::string("(none)\n") : failures);
    text += "\n" + speeds;
    return true;
}

}  // namespace veldmoor::statsd
