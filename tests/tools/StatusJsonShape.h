#pragma once
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>

namespace veldmoor::test {

// A line of --status-json: these keys in this order, each an integer.
inline bool HasStatusJsonShape(const std::string& line) {
    const char* const keys[] = {"progress", "status", "speed", "from_sources", "from_peers",
                                "on_disk", "remaining", "total_kib"};
    size_t at = 0;
    if (line.empty() || line[at++] != '{') return false;
    for (size_t k = 0; k < std::size(keys); ++k) {
        const std::string key = std::string("\"") + keys[k] + "\":";
        if (line.compare(at, key.size(), key) != 0) return false;
        at += key.size();
        if (at < line.size() && line[at] == '-') ++at;
        const size_t digitsStart = at;
        while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
        if (at == digitsStart || at >= line.size()) return false;
        if (line[at++] != (k + 1 == std::size(keys) ? '}' : ',')) return false;
    }
    return at == line.size();
}

// The fields of one --status-json line.
struct StatusLine {
    long long progress = 0, status = 0, speed = 0, fromSources = 0, fromPeers = 0, onDisk = 0, remaining = 0,
              totalKib = 0;
};

inline std::optional<StatusLine> ParseStatusLine(const std::string& line) {
    if (!HasStatusJsonShape(line)) return std::nullopt;
    StatusLine s;
    const int read = std::sscanf(line.c_str(),
                                 R"({"progress":%lld,"status":%lld,"speed":%lld,"from_sources":%lld,)"
                                 R"("from_peers":%lld,"on_disk":%lld,"remaining":%lld,"total_kib":%lld})",
                                 &s.progress, &s.status, &s.speed, &s.fromSources, &s.fromPeers, &s.onDisk,
                                 &s.remaining, &s.totalKib);
    if (read != 8) return std::nullopt;
    return s;
}

}  // namespace veldmoor::test
