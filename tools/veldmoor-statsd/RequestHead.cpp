#include "tools/veldmoor-statsd/RequestHead.h"

#include <algorithm>
#include <cctype>

#include "foundation/AsciiText.h"

namespace veldmoor::statsd {
namespace {

constexpr size_t kMaxHeaderLines = 100;

bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A bare CR, a NUL or another control byte in a field is refused, not passed
// on to handlers and the log; a tab stays legal inside values.
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

bool HasControl(std::string_view text, bool tabAllowed) {
    return std::any_of(text.begin(), text.end(), [tabAllowed](char c) { return IsControl(c) && !(tabAllowed && c == '\t'); });
}

HeadVerdict Refusal(int status, std::string reason) { return {status, std::move(reason)}; }

HeadVerdict ParseRequestLine(std::string_view requestLine, HttpRequest& request, std::string_view& version) {
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = firstSpace == std::string_view::npos ? firstSpace : requestLine.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos || firstSpace == 0) return Refusal(400, "malformed request line");
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    version = requestLine.substr(secondSpace + 1);
    if (!std::all_of(request.method.begin(), request.method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }) ||
        request.target.empty() || request.target[0] != '/' ||
        request.target.find(' ') != std::string::npos || HasControl(request.target, false))
        return Refusal(400, "malformed request line");
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return Refusal(505, "only HTTP/1.0 and HTTP/1.1 are spoken here");
    return {};
}

HeadVerdict ParseContentLength(const HttpRequest& request, size_t bodyLimit, size_t& contentLength) {
    contentLength = 0;
    const auto length = request.headers.find("content-length");
    if (length == request.headers.end()) {
        if (request.method == "POST") return Refusal(411, "POST needs a Content-Length");
        return {};
    }
    const std::string& text = length->second;
    if (text.empty() || text.size() > 12 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Refusal(400, "malformed Content-Length");
    contentLength = std::stoull(text);
    if (contentLength > bodyLimit) return Refusal(413, "body larger than " + std::to_string(bodyLimit) + " bytes");
    return {};
}

}  // namespace

HeadVerdict ParseRequestHead(std::string_view head, size_t bodyLimit, HttpRequest& request, size_t& contentLength) {
    contentLength = 0;
    size_t lineEnd = head.find("\r\n");
    std::string_view version;
    if (HeadVerdict verdict = ParseRequestLine(head.substr(0, lineEnd), request, version); verdict.status != 0)
        return verdict;
    size_t lines = 0;
    while (lineEnd != std::string_view::npos && lineEnd < head.size()) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string_view line = head.substr(start, lineEnd == std::string_view::npos ? head.npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (++lines > kMaxHeaderLines || colon == std::string_view::npos || colon == 0 ||
            !std::all_of(line.begin(), line.begin() + static_cast<long>(colon), IsTokenChar))
            return Refusal(lines > kMaxHeaderLines ? 431 : 400, "malformed header line");
        const std::string name = Lower(std::string(line.substr(0, colon)));
        const std::string value(TrimBlanks(line.substr(colon + 1)));
        if (HasControl(value, true)) return Refusal(400, "control character in the " + name + " header");
        if (!request.headers.emplace(name, value).second && (name == "content-length" || name == "host"))
            return Refusal(400, "repeated " + name + " header");
    }
    if (version == "HTTP/1.1" && !request.headers.contains("host")) return Refusal(400, "missing Host header");
    if (request.headers.contains("transfer-encoding"))
        return Refusal(411, "chunked bodies are not taken; send Content-Length");
    return ParseContentLength(request, bodyLimit, contentLength);
}

}  // namespace veldmoor::statsd
