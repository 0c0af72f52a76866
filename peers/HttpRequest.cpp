#include "peers/HttpRequest.h"

#include <algorithm>
#include <cctype>

#include "foundation/AsciiText.h"
#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kSchemeSeparator = "://";

bool HasUnsafeField(const HttpRequestFields& fields) {
    return HasLineBreakOrNul(fields.path) || HasLineBreakOrNul(fields.host) ||
           HasLineBreakOrNul(fields.refererBase) || HasLineBreakOrNul(fields.explicitReferer.value_or("")) ||
           HasLineBreakOrNul(fields.cookie) || HasLineBreakOrNul(fields.ifRange);
}

void AppendLine(std::string& request, std::string_view first, std::string_view second = {}) {
    request.append(first).append(second).append(kLineEnd);
}

std::string HostWithPort(std::string_view host, int32_t port) {
    std::string text(host);
    if (port != kHttpDefaultPort) text.append(":").append(std::to_string(port));
    return text;
}

// "name://" where the name is a URI scheme: a letter, then letters, digits, "+", "-", ".".
bool StartsWithScheme(std::string_view location) {
    const size_t separator = location.find(kSchemeSeparator);
    if (separator == std::string_view::npos || separator == 0) return false;
    const std::string_view scheme = location.substr(0, separator);
    return std::isalpha(static_cast<unsigned char>(scheme.front())) &&
           std::all_of(scheme.begin(), scheme.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
           });
}

}  // namespace

std::string BuildHttpRequest(const HttpRequestFields& fields) {
    if (fields.path.empty() || fields.host.empty() || !IsValidPort(fields.port) || fields.start < 0 ||
        HasUnsafeField(fields))
        return {};

    std::string request;
    AppendLine(request, "GET ", std::string(fields.path) + " HTTP/1.1");
    AppendLine(request, "Host:", HostWithPort(fields.host, fields.port));
    AppendLine(request, "Accept:*/*");
    if (fields.explicitReferer) {
        AppendLine(request, "Referer:", *fields.explicitReferer);
    } else {
        AppendLine(request, "Referer: ", fields.refererBase);
    }
    if (!fields.cookie.empty()) AppendLine(request, "Set Cookie:0", fields.cookie);
    AppendLine(request, "User-Agent:", kHttpUserAgent);
    AppendLine(request, "Connection:Keep-Alive");
    // A wanted end is sent even from position 0, where the open range is left out.
    const bool hasEnd = fields.end > fields.start;
    if (fields.start > 0 || hasEnd) {
        std::string range = std::to_string(fields.start) + "-";
        if (hasEnd) range += std::to_string(fields.end);
        AppendLine(request, "Range: bytes=", range);
        if (fields.start > 0 && !fields.ifRange.empty()) AppendLine(request, "If-Range: ", fields.ifRange);
    }
    AppendLine(request, "Pragma: no-cache");
    AppendLine(request, "Cache-Control: no-cache");
    request.append(kLineEnd);
    return request;
}

HttpUrlParts SplitHttpUrl(std::string_view url) {
    const size_t separator = url.find(kSchemeSeparator);
    const size_t hostStart = separator == std::string_view::npos ? 0 : separator + kSchemeSeparator.size();
    const size_t firstSlash = url.find('/', hostStart);
    const size_t lastSlash = url.rfind('/');

    HttpUrlParts parts;
    parts.path = firstSlash == std::string_view::npos ? "/" : std::string(url.substr(firstSlash));
    parts.refererBase = std::string(
        lastSlash == std::string_view::npos || lastSlash < hostStart ? url : url.substr(0, lastSlash));
    return parts;
}

std::string AbsoluteRedirectUrl(std::string_view location, std::string_view host, int32_t port) {
    location = TrimBlanks(location);
    if (location.empty() || HasLineBreakOrNul(location)) return {};
    if (StartsWithScheme(location)) return std::string(location);
    if (location.starts_with("//")) return "http:" + std::string(location);

    std::string url = "http://" + HostWithPort(host, port);
    if (!location.starts_with('/')) url += '/';
    url += location;
    return url;
}

}  // namespace veldmoor
