#pragma once
// Reads the body of a batch POST: "data=" + the URL-encoded JSON array of
// {"code", "info"} objects, where each info text is "{" + the machine's
// information object + "\n" + the event's members + "}". Everything is
// checked; a body that fails any check is refused whole.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veldmoor::statsd {

struct BatchLimits {
    size_t events = 20;
    size_t infoBytes = 64 * 1024;
    size_t textBytes = 4096;  // any one text member
};

struct ParsedEvent {
    std::string code;
    std::string sessionId;
    std::string machineId;
    std::string adapterAddresses;
    std::string osDescriptor;
    std::string hardwareJson;  // the CPU, Memory and Video_Card blocks sent, compact; "" when none
    std::string formatVersion, gameId, appVersion, gameVersion, channel;
    std::string serverAddress, httpResult, progress, fileName, url, errorText;
    int64_t totalTime = 0, inTime = 0, totalBytes = 0, inTotalBytes = 0, averageSpeed = 0;
    int64_t httpBytes = 0, inHttpBytes = 0, httpSpeed = 0;
    int64_t peerBytes = 0, inPeerBytes = 0, peerSpeed = 0;
    int64_t corruptPiece = 0;
};

struct BatchParseResult {
    bool ok = false;
    std::string error;  // why the body was refused
    std::vector<ParsedEvent> events;
};

// "%XX" to its byte and "_" to a space; letters and digits as they are.
// False on any other byte or a broken escape.
bool UrlDecode(std::string_view encoded, std::string& decoded, std::string& error);

BatchParseResult ParseBatchBody(std::string_view body, const BatchLimits& limits = {});

}  // namespace veldmoor::statsd
