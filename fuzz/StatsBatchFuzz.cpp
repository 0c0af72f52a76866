// Feeds arbitrary bytes to the statistics collector's batch parser, both as
// a whole request body and URL-encoded behind "data=" (so the fuzzer reaches
// the JSON and event-text layers quickly). Beyond the sanitizers' checks it
// traps when an accepted batch breaks what the store relies on: 1 to 20
// events, eight-digit codes, identifiers of their fixed forms, no NUL in any
// text, numbers that are not negative.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "reporting/EventText.h"
#include "tools/veldmoor-statsd/BatchParser.h"

namespace {

using veldmoor::statsd::BatchParseResult;
using veldmoor::statsd::ParsedEvent;

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckEvent(const ParsedEvent& event) {
    Check(event.code.size() == 8);
    Check(event.machineId.size() == 16 && event.sessionId.size() == 8);
    for (const std::string* text : {&event.code, &event.machineId, &event.sessionId, &event.adapterAddresses,
                                    &event.osDescriptor, &event.hardwareJson, &event.gameId, &event.fileName,
                                    &event.errorText, &event.serverAddress, &event.progress, &event.url})
        Check(text->find('\0') == std::string::npos);
    for (const int64_t number : {event.totalTime, event.inTime, event.totalBytes, event.inTotalBytes, event.averageSpeed,
                                 event.httpBytes, event.inHttpBytes, event.httpSpeed, event.peerBytes, event.inPeerBytes,
                                 event.peerSpeed, event.corruptPiece})
        Check(number >= 0);
}

void CheckResult(const BatchParseResult& result) {
    if (!result.ok) {
        Check(!result.error.empty() && result.events.empty());
        return;
    }
    Check(!result.events.empty() && result.events.size() <= 20);
    for (const ParsedEvent& event : result.events) CheckEvent(event);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckResult(veldmoor::statsd::ParseBatchBody(bytes));
    CheckResult(veldmoor::statsd::ParseBatchBody("data=" + veldmoor::reporting::UrlEncode(std::string(bytes))));
    return 0;
}
