#pragma once
#include <iterator>
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

}  // namespace veldmoor::test
