#pragma once
// The texts a statistics event travels in: the fragment (the event's own
// members, in their fixed order), the event text that wraps the machine's
// information object, and the URL-encoded batch body of one POST.
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace veldmoor::reporting {

inline constexpr const char* kStatisticsFormatVersion = "1.8";

// Identity every event carries.
struct EventIdentity {
    std::string gameId;
    std::string programVersion;
    std::string gameVersion;
    std::string channel;
};

// What one event reports; numbers left at 0 are written "0".
struct EventFields {
    std::string serverAddress;  // piece-check events only
    uint64_t totalSeconds = 0;
    uint64_t totalBytes = 0;
    uint64_t averageSpeed = 0;
    std::string progressText;
    uint64_t httpBytes = 0;
    uint64_t httpAverageSpeed = 0;
    uint64_t peerBytes = 0;
    uint64_t peerAverageSpeed = 0;
    uint32_t corruptPiece = 0;
    std::string fileName;
    std::string url;
    std::string errorText;
};

// The last non-zero totals, so each event can say how much they grew since.
class GrowthMemory {
public:
    struct Growth {
        uint64_t seconds = 0, bytes = 0, httpBytes = 0, peerBytes = 0;
    };
    // The growth of each non-zero value since it was last seen non-zero;
    // zero values report 0 and leave their memory alone.
    Growth Take(const EventFields& fields);

private:
    static uint64_t Grow(uint64_t value, uint64_t& last);

    std::mutex mutex_;
    uint64_t lastSeconds_ = 0, lastBytes_ = 0, lastHttpBytes_ = 0, lastPeerBytes_ = 0;
};

// `text` as the inside of a JSON string: quotes, backslashes and control
// bytes escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string JsonStringContent(const std::string& text);

// ",\"DVersion\":\"1.8\",\"GameID\":..." with every text escaped.
std::string FormatFragment(const EventIdentity& identity, const EventFields& fields, const GrowthMemory::Growth& growth);

// "{" + the information object as the compact writer writes it (with its
// line break) + the fragment + "}".
std::string BuildEventText(const std::string& informationObjectText, const std::string& fragment);

// Letters and digits stay, a space becomes "_", every other byte "%XX".
std::string UrlEncode(const std::string& bytes);

// "data=" + the URL-encoded compact JSON array of {"code", "info"} objects.
std::string BuildBatchBody(const std::vector<std::pair<std::string, std::string>>& codeAndInfo);

}  // namespace veldmoor::reporting
