#pragma once
// Why sources failed, for the task interface: one note when a source is given
// up or made to wait, never one per retry. Notes wait, oldest first, until the
// caller takes them; each source is told each reason once.
#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>

namespace veldmoor {

class SourceNotes {
public:
    // Notes waiting to be taken at most; the oldest go first.
    static constexpr size_t kCapacity = 32;
    // Sources whose reasons are remembered at most, and reasons per source
    // (past either, all are forgotten and may be told again).
    static constexpr size_t kRememberedSources = 256;
    static constexpr size_t kReasonsPerSource = 8;
    static constexpr size_t kMaxUrlLength = 512;

    // `reason` says what happened; `consequence` (may be empty) what follows,
    // and is left out of the comparison with the source's previous note.
    // False when the source was told this reason before.
    bool Add(const std::string& url, const std::string& reason, const std::string& consequence);
    // Waiting notes, oldest first, as lines "URL<TAB>text\n", as many whole
    // lines as fit in `maxBytes`; the lines given are gone afterwards.
    std::string Take(size_t maxBytes);
    void Clear();

private:
    std::deque<std::string> waiting_;
    std::map<std::string, std::set<std::string>> toldReasons_;
};

}  // namespace veldmoor
