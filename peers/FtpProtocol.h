#pragma once
// The FTP source's protocol pieces, free of sockets: reading replies off the
// control connection, the command lines it sends, the values it takes from
// replies (passive address, file size), and which reply moves the session on.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/IpAddress.h"

namespace veldmoor {

// A reply still incomplete after this many bytes is refused, so a server
// cannot grow the control buffer without bound.
inline constexpr size_t kFtpMaxReplyBytes = 64 * 1024;

enum class FtpReplyStatus {
    kIncomplete,  // wait for more bytes
    kComplete,
    kMalformed,   // the first line does not start "ddd ", "ddd-" or "ddd" + line end
    kTooLong,     // no complete reply within kFtpMaxReplyBytes
};

struct FtpReply {
    FtpReplyStatus status = FtpReplyStatus::kIncomplete;
    int32_t code = 0;
    std::string text;      // the first line after its code and separator, without the line end
    size_t bytesUsed = 0;  // what the reply took from the buffer; later bytes belong to the next reply
};

// Lines end in LF, with an optional CR before it. A first line "ddd text"
// (or a bare "ddd") is the whole reply; "ddd-text" opens a multi-line reply
// that ends with the first later line made of the same code and a blank.
// Lines in between are passed over whatever they hold, so "ddd-more" or
// "dddd" does not end it.
FtpReply ReadFtpReply(std::string_view buffered);

// Reply classes by their first digit.
enum class FtpReplyClass {
    kPreliminary,   // 1xx
    kCompletion,    // 2xx
    kIntermediate,  // 3xx
    kTransient,     // 4xx: the candidate serves fewer connections at once
    kPermanent,     // 5xx: the candidate waits 60 seconds
    kInvalid,       // outside 100..599
};
FtpReplyClass ClassifyFtpReply(int32_t code);

// Session steps, by the command whose reply is awaited.
enum FtpStep : int32_t {
    kFtpStepTransfer = 0,
    kFtpStepGreeting = 1,
    kFtpStepUser = 2,
    kFtpStepPass = 3,
    kFtpStepCwd = 4,
    kFtpStepSize = 5,
    kFtpStepType = 6,
    kFtpStepPasv = 7,
    kFtpStepRest = 8,
    kFtpStepRetr = 9,
    kFtpStepEndOfTransfer = 11,
};
// The step that follows when `code` answers `step`; empty when the code does
// not advance it (the session fails), and always in the transfer step, where
// no reply is awaited.
std::optional<int32_t> FtpNextStep(int32_t step, int32_t code);

// Command lines, each ending in CR LF. Empty when an argument holds CR, LF or
// NUL, which would end the line early and let the URL forge commands.
std::string FtpUserCommand(std::string_view userName);
std::string FtpPassCommand(std::string_view password);
std::string FtpCwdCommand(std::string_view directory);
std::string FtpSizeCommand(std::string_view fileName);
std::string FtpTypeImageCommand();
std::string FtpPasvCommand();
std::string FtpEpsvCommand();
// Empty for a negative position.
std::string FtpRestCommand(int64_t position);
std::string FtpRetrCommand(std::string_view path);

struct FtpPathParts {
    std::string directory;  // the path up to its last "/", or "/" when that is its first byte
    std::string fileName;   // after the last "/"
};
// Empty for a path without "/" or with nothing after its last "/".
std::optional<FtpPathParts> SplitFtpPath(std::string_view path);

struct FtpPassiveAddress {
    Ipv4Address ip;
    std::string host;  // "a.b.c.d"
    int32_t port = 0;
};
// The fields between the first "(" of a 227 reply's text and the next ")":
// exactly six decimals of 0..255, each pair parted by blanks and at most one
// comma. The port (fifth × 256 + sixth) may not be 0. The data connection
// still goes to the control connection's server; only the port is taken.
std::optional<FtpPassiveAddress> ParseFtpPassiveReply(std::string_view text);

// The port of a 229 reply's text (RFC 2428): between the first "(" and the
// next ")", a delimiter (a printable character other than a digit), twice
// more the same delimiter with nothing between, the port (1..65535, at most
// five digits) and the delimiter once more. "Entering Extended Passive Mode
// (|||6446|)" gives 6446.
std::optional<int32_t> ParseFtpExtendedPassiveReply(std::string_view text);

// The file size in a 213 reply's text: one decimal, blanks around it
// allowed. Empty for any other code, any other text, and values that do not
// fit a signed 64-bit integer.
std::optional<int64_t> ParseFtpSizeReply(int32_t code, std::string_view text);

}  // namespace veldmoor
