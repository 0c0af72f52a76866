// Feeds arbitrary bytes to the FTP control connection's reader as a stream of
// replies, and each reply's text to the passive-address and size readers.
// Beyond the sanitizers' checks, it traps when:
//  - a reply takes no bytes or more than were buffered, or is complete with
//    a code outside three digits or a text holding a line end;
//  - the same stream arriving in pieces reads as different replies;
//  - a passive address gives port 0 or a field outside 0..255, an extended
//    passive reply a port outside 1..65535, or a size is negative.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "peers/FtpProtocol.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("ftp_reply_fuzz", what); }

void CheckValues(int32_t code, std::string_view text) {
    if (const auto passive = ParseFtpPassiveReply(text)) {
        if (passive->port < 1 || passive->port > 65535) Fail("a passive port outside 1..65535");
        if (passive->host.empty() || passive->host.size() > 15) Fail("a passive host that is no address");
    }
    if (const auto port = ParseFtpExtendedPassiveReply(text); port && (*port < 1 || *port > 65535))
        Fail("an extended passive port outside 1..65535");
    if (const auto fileSize = ParseFtpSizeReply(code, text); fileSize && *fileSize < 0) Fail("a negative size");
    for (int32_t step = kFtpStepTransfer; step <= kFtpStepEndOfTransfer; ++step) (void)FtpNextStep(step, code);
    (void)ClassifyFtpReply(code);
}

struct Seen {
    FtpReplyStatus status;
    int32_t code;
    std::string text;
    size_t used;
    bool operator==(const Seen&) const = default;
};

// The replies of a stream, as the source would take them off its buffer.
std::vector<Seen> ReadAll(std::string_view stream) {
    std::vector<Seen> seen;
    while (!stream.empty()) {
        const FtpReply reply = ReadFtpReply(stream);
        if (reply.status != FtpReplyStatus::kComplete) {
            seen.push_back({reply.status, 0, {}, 0});
            break;
        }
        if (reply.bytesUsed == 0 || reply.bytesUsed > stream.size()) Fail("a reply took no bytes or too many");
        if (reply.code < 0 || reply.code > 999) Fail("a code that is not three digits");
        if (reply.text.find('\n') != std::string::npos) Fail("a reply text holds a line feed");
        CheckValues(reply.code, reply.text);
        seen.push_back({reply.status, reply.code, reply.text, reply.bytesUsed});
        stream.remove_prefix(reply.bytesUsed);
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<Seen> whole = ReadAll(input);

    // A complete reply must read the same before the next one's bytes arrive.
    size_t offset = 0;
    for (const Seen& reply : whole) {
        if (reply.status != FtpReplyStatus::kComplete) break;
        const std::vector<Seen> alone = ReadAll(input.substr(offset, reply.used));
        if (alone.size() != 1 || alone[0] != reply) Fail("a reply reads differently without what follows it");
        offset += reply.used;
    }

    CheckValues(227, input);
    CheckValues(213, input);
    return 0;
}
