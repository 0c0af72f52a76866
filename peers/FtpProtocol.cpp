#include "peers/FtpProtocol.h"

#include <array>
#include <charconv>

#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

constexpr size_t kCodeLength = 3;
constexpr size_t kMaxPassiveFieldDigits = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(std::string_view text, size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    return pos;
}

// A line without its LF and the CR before it.
std::string_view LineContent(std::string_view buffered, size_t start, size_t lineFeed) {
    std::string_view line = buffered.substr(start, lineFeed - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

FtpReply WithStatus(FtpReplyStatus status) {
    FtpReply reply;
    reply.status = status;
    return reply;
}

FtpReply NeedMore(std::string_view buffered) {
    return WithStatus(buffered.size() >= kFtpMaxReplyBytes ? FtpReplyStatus::kTooLong : FtpReplyStatus::kIncomplete);
}

// What may follow the code on a first line: a blank, a hyphen, or the line end.
bool IsCodeSeparator(char c) { return c == ' ' || c == '-' || c == '\r' || c == '\n'; }

// Refuses a prefix that can no longer become a reply, before its line is whole.
bool FirstLinePrefixIsPlausible(std::string_view buffered) {
    for (size_t i = 0; i < buffered.size() && i < kCodeLength; ++i) {
        if (!IsDigit(buffered[i])) return false;
    }
    return buffered.size() <= kCodeLength || IsCodeSeparator(buffered[kCodeLength]);
}

std::string LineWith(std::string_view command, std::string_view argument) {
    if (HasLineBreakOrNul(argument)) return {};
    std::string line;
    line.reserve(command.size() + argument.size() + 2);
    line.append(command).append(argument).append("\r\n");
    return line;
}

}  // namespace

FtpReply ReadFtpReply(std::string_view buffered) {
    if (!FirstLinePrefixIsPlausible(buffered)) return WithStatus(FtpReplyStatus::kMalformed);
    const std::string_view window = buffered.substr(0, kFtpMaxReplyBytes);

    const size_t firstFeed = window.find('\n');
    if (firstFeed == std::string_view::npos) return NeedMore(buffered);
    const std::string_view first = LineContent(window, 0, firstFeed);
    if (first.size() < kCodeLength || (first.size() > kCodeLength && first[kCodeLength] != ' ' && first[kCodeLength] != '-'))
        return WithStatus(FtpReplyStatus::kMalformed);

    const std::string_view code = first.substr(0, kCodeLength);
    FtpReply reply;
    reply.code = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    if (first.size() > kCodeLength + 1) reply.text = std::string(first.substr(kCodeLength + 1));

    size_t end = firstFeed;
    if (first.size() > kCodeLength && first[kCodeLength] == '-') {
        for (;;) {
            const size_t start = end + 1;
            end = window.find('\n', start);
            if (end == std::string_view::npos) return NeedMore(buffered);
            const std::string_view line = LineContent(window, start, end);
            if (line.size() > kCodeLength && line.substr(0, kCodeLength) == code && line[kCodeLength] == ' ') break;
        }
    }
    reply.status = FtpReplyStatus::kComplete;
    reply.bytesUsed = end + 1;
    return reply;
}

FtpReplyClass ClassifyFtpReply(int32_t code) {
    if (code < 100 || code > 599) return FtpReplyClass::kInvalid;
    switch (code / 100) {
        case 1: return FtpReplyClass::kPreliminary;
        case 2: return FtpReplyClass::kCompletion;
        case 3: return FtpReplyClass::kIntermediate;
        case 4: return FtpReplyClass::kTransient;
        default: return FtpReplyClass::kPermanent;
    }
}

std::optional<int32_t> FtpNextStep(int32_t step, int32_t code) {
    switch (step) {
        case kFtpStepGreeting:
            if (code == 220) return kFtpStepUser;
            break;
        case kFtpStepUser:
            if (code == 331) return kFtpStepPass;
            break;
        case kFtpStepPass:
            if (code == 230 || code == 332) return kFtpStepCwd;
            break;
        case kFtpStepCwd:
            if (code == 250) return kFtpStepSize;
            break;
        case kFtpStepSize:
            if (code == 213) return kFtpStepType;
            break;
        case kFtpStepType:
            if (code == 200) return kFtpStepPasv;
            break;
        case kFtpStepPasv:
            if (code == 227 || code == 229) return kFtpStepRest;
            break;
        case kFtpStepRest:
            if (code == 350) return kFtpStepRetr;
            break;
        case kFtpStepRetr:
            if (code == 125 || code == 150) return kFtpStepTransfer;
            break;
        case kFtpStepEndOfTransfer:
            if (code == 426 || code == 226 || code == 250) return kFtpStepPasv;
            break;
        default: break;
    }
    return std::nullopt;
}

std::string FtpUserCommand(std::string_view userName) { return LineWith("user ", userName); }
std::string FtpPassCommand(std::string_view password) { return LineWith("pass ", password); }
std::string FtpCwdCommand(std::string_view directory) { return LineWith("cwd ", directory); }
std::string FtpSizeCommand(std::string_view fileName) { return LineWith("size ", fileName); }
std::string FtpTypeImageCommand() { return "type i\r\n"; }
std::string FtpPasvCommand() { return "pasv\r\n"; }

std::string FtpEpsvCommand() { return "epsv\r\n"; }
std::string FtpRetrCommand(std::string_view path) { return LineWith("retr ", path); }

std::string FtpRestCommand(int64_t position) {
    if (position < 0) return {};
    return LineWith("rest ", std::to_string(position));
}

std::optional<FtpPathParts> SplitFtpPath(std::string_view path) {
    const size_t lastSlash = path.rfind('/');
    if (lastSlash == std::string_view::npos || lastSlash + 1 == path.size()) return std::nullopt;
    FtpPathParts parts;
    parts.directory = lastSlash == 0 ? std::string("/") : std::string(path.substr(0, lastSlash));
    parts.fileName = std::string(path.substr(lastSlash + 1));
    return parts;
}

namespace {

// What a passive reply holds between its first "(" and the ")" after it.
std::optional<std::string_view> ParenthesisedPart(std::string_view text) {
    const size_t open = text.find('(');
    if (open == std::string_view::npos) return std::nullopt;
    const size_t close = text.find(')', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

}  // namespace

std::optional<FtpPassiveAddress> ParseFtpPassiveReply(std::string_view text) {
    const std::optional<std::string_view> found = ParenthesisedPart(text);
    if (!found) return std::nullopt;
    const std::string_view inner = *found;

    std::array<uint8_t, 6> fields{};
    size_t pos = SkipBlanks(inner, 0);
    for (size_t field = 0; field < fields.size(); ++field) {
        // Blanks and at most one comma part two fields; any other byte fails the next field.
        if (field > 0) {
            pos = SkipBlanks(inner, pos);
            if (pos < inner.size() && inner[pos] == ',') pos = SkipBlanks(inner, pos + 1);
        }
        const size_t start = pos;
        while (pos < inner.size() && IsDigit(inner[pos])) ++pos;
        unsigned value = 0;
        const auto [stop, error] = std::from_chars(inner.data() + start, inner.data() + pos, value);
        if (pos == start || pos - start > kMaxPassiveFieldDigits || error != std::errc() || stop != inner.data() + pos ||
            value > 255)
            return std::nullopt;
        fields[field] = static_cast<uint8_t>(value);
    }
    if (SkipBlanks(inner, pos) != inner.size()) return std::nullopt;

    FtpPassiveAddress address;
    address.port = fields[4] * 256 + fields[5];
    if (!IsValidPort(address.port)) return std::nullopt;
    address.ip = Ipv4Address::FromOctets(fields[0], fields[1], fields[2], fields[3]);
    address.host = address.ip.Text();
    return address;
}

std::optional<int32_t> ParseFtpExtendedPassiveReply(std::string_view text) {
    const std::optional<std::string_view> found = ParenthesisedPart(text);
    if (!found) return std::nullopt;
    const std::string_view inner = *found;
    // Three delimiters, the port, the delimiter: at least one port digit between.
    if (inner.size() < 5 || inner.size() > 9) return std::nullopt;
    const char delimiter = inner.front();
    if (delimiter < 33 || delimiter > 126 || IsDigit(delimiter)) return std::nullopt;
    if (inner[1] != delimiter || inner[2] != delimiter || inner.back() != delimiter) return std::nullopt;
    const std::string_view digits = inner.substr(3, inner.size() - 4);
    int32_t port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size() || !IsDigit(digits.front()) ||
        !IsValidPort(port))
        return std::nullopt;
    return port;
}

std::optional<int64_t> ParseFtpSizeReply(int32_t code, std::string_view text) {
    if (code != 213) return std::nullopt;
    const size_t start = SkipBlanks(text, 0);
    size_t end = text.size();
    while (end > start && IsBlank(text[end - 1])) --end;
    const std::string_view digits = text.substr(start, end - start);
    if (digits.empty()) return std::nullopt;
    for (const char c : digits) {
        if (!IsDigit(c)) return std::nullopt;
    }
    int64_t size = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
    if (error != std::errc() || stop != digits.data() + digits.size()) return std::nullopt;
    return size;
}

}  // namespace veldmoor
