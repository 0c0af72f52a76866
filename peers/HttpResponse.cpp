#include "peers/HttpResponse.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <initializer_list>

#include "foundation/AsciiText.h"
#include "peers/HttpStreamRules.h"

namespace veldmoor {
namespace {

constexpr std::string_view kRangeUnit = "bytes";
constexpr std::string_view kFileNameKey = "filename=";
constexpr int32_t kStatusOk = 200;
constexpr int32_t kStatusPartialContent = 206;

bool IsDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Digits only, and within int64: from_chars reports a value out of range
// instead of wrapping it.
std::optional<int64_t> ParseCount(std::string_view text) {
    text = TrimBlanks(text);
    if (!IsDigits(text)) return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// A name offered by a remote party becomes a file in the download folder:
// no folders, no "." or "..", nothing that cannot stand in a name.
std::optional<std::string> UsableFileName(std::string_view name) {
    const size_t separator = name.find_last_of("/\\");
    if (separator != std::string_view::npos) name.remove_prefix(separator + 1);
    if (name.empty() || name == "." || name == ".." || std::any_of(name.begin(), name.end(), IsControl)) {
        return std::nullopt;
    }
    return std::string(name);
}

// A header value fit to be shown to the user: printable ASCII, at most 40 bytes.
std::string ShownValue(std::string_view value) {
    constexpr size_t kShownLength = 40;
    std::string shown;
    for (char c : TrimBlanks(value)) {
        if (shown.size() == kShownLength) return shown + "...";
        shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return shown;
}

// Whether every coding a comma-separated list names is one of `allowed`.
bool OnlyCodings(std::string_view list, std::initializer_list<std::string_view> allowed) {
    for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view coding = TrimBlanks(list.substr(start, comma - start));
        const bool known = coding.empty() || std::any_of(allowed.begin(), allowed.end(), [&](std::string_view name) {
                               return EqualsNoCase(coding, name);
                           });
        if (!known) return false;
        start = comma + 1;
    }
    return true;
}

}  // namespace

HttpStatusClass ClassifyHttpStatus(int32_t statusCode) {
    if (statusCode >= 200 && statusCode <= 299) return HttpStatusClass::kSuccess;
    if (statusCode >= 300 && statusCode <= 399) return HttpStatusClass::kRedirect;
    if (statusCode >= 400 && statusCode <= 499) return HttpStatusClass::kClientError;
    if (statusCode >= 500 && statusCode <= 599) return HttpStatusClass::kServerError;
    return HttpStatusClass::kOther;
}

std::optional<int64_t> ContentRangeTotal(std::string_view value) {
    const size_t slash = value.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    return ParseCount(value.substr(slash + 1));
}

std::optional<int64_t> ContentRangeStart(std::string_view value) {
    value = TrimBlanks(value);
    if (FindNoCase(value.substr(0, kRangeUnit.size()), kRangeUnit) == 0) {
        value.remove_prefix(kRangeUnit.size());
        // Some servers write "bytes=" as in the request.
        const size_t rangeStart = value.find_first_not_of(" \t=");
        if (rangeStart == std::string_view::npos || rangeStart == 0) return std::nullopt;
        value.remove_prefix(rangeStart);
    }
    const std::string_view range = value.substr(0, value.find('/'));
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const std::optional<int64_t> first = ParseCount(range.substr(0, dash));
    const std::optional<int64_t> last = ParseCount(range.substr(dash + 1));
    if (!first || !last || *first > *last) return std::nullopt;
    const std::optional<int64_t> total = ContentRangeTotal(value);
    if (total && *last >= *total) return std::nullopt;
    return first;
}

std::optional<int64_t> ContentLengthValue(std::string_view value) { return ParseCount(value); }

HttpFileSize FileSizeFromHeader(const QHttpHeader& header) {
    HttpFileSize result;
    if (const auto contentRange = header.GetValue("Content-Range")) {
        result.size = ContentRangeTotal(*contentRange).value_or(0);
        return result;
    }
    const auto contentLength = header.GetValue("Content-Length");
    const std::optional<int64_t> length = contentLength ? ContentLengthValue(*contentLength) : std::nullopt;
    result.size = length.value_or(0);
    result.lengthUnknown = !length.has_value();
    return result;
}

std::optional<int64_t> BodyStartPosition(const QHttpHeader& header) {
    if (header.GetStatusCode() == kStatusOk) return 0;
    if (header.GetStatusCode() != kStatusPartialContent) return std::nullopt;
    const auto contentRange = header.GetValue("Content-Range");
    return contentRange ? ContentRangeStart(*contentRange) : std::nullopt;
}

std::optional<int64_t> BytesBeforeRequestedStart(const QHttpHeader& header, int64_t requestedStart) {
    const std::optional<int64_t> bodyStart = BodyStartPosition(header);
    if (!bodyStart || requestedStart < *bodyStart) return std::nullopt;
    const int64_t gap = requestedStart - *bodyStart;
    if (gap > kHttpMaxStreamSkip) return std::nullopt;
    return gap;
}

bool IsChunkedBody(const QHttpHeader& header) {
    const auto coding = header.GetValue("Transfer-Encoding");
    if (!coding) return false;
    const size_t comma = coding->rfind(',');
    return EqualsNoCase(TrimBlanks(comma == std::string_view::npos ? *coding : coding->substr(comma + 1)), "chunked");
}

std::optional<int64_t> FramedBodyLength(const QHttpHeader& header) {
    if (header.GetValue("Transfer-Encoding")) return std::nullopt;
    const auto contentLength = header.GetValue("Content-Length");
    return contentLength ? ContentLengthValue(*contentLength) : std::nullopt;
}

std::optional<std::string> UnsupportedBodyCoding(const QHttpHeader& header) {
    if (const auto content = header.GetValue("Content-Encoding"); content && !OnlyCodings(*content, {"identity"}))
        return "Content-Encoding: " + ShownValue(*content);
    if (const auto transfer = header.GetValue("Transfer-Encoding");
        transfer && !OnlyCodings(*transfer, {"chunked", "identity"}))
        return "Transfer-Encoding: " + ShownValue(*transfer);
    return std::nullopt;
}

bool AllowsAnotherRequest(const QHttpHeader& header) {
    const std::string_view connection = header.GetValue("Connection").value_or("");
    const bool keptOpen = header.GetVersion() == "1.1" ? FindNoCase(connection, "close") == std::string_view::npos
                                                       : FindNoCase(connection, "keep-alive") != std::string_view::npos;
    return keptOpen && (IsChunkedBody(header) || FramedBodyLength(header).has_value());
}

std::optional<std::string> FileNameFromDisposition(std::string_view value) {
    const size_t key = FindNoCase(value, kFileNameKey);
    if (key == std::string_view::npos) return std::nullopt;
    std::string_view name = value.substr(key + kFileNameKey.size());
    if (name.starts_with('"')) {
        name.remove_prefix(1);
        name = name.substr(0, name.find('"'));
    } else {
        name = TrimBlanks(name.substr(0, name.find(';')));
    }
    return UsableFileName(name);
}

std::string FileNameFromResponse(const QHttpHeader& header, std::string_view currentName) {
    if (const auto disposition = header.GetValue("Content-Disposition")) {
        if (auto name = FileNameFromDisposition(*disposition)) return std::move(*name);
    }
    return currentName.empty() ? std::string(kHttpDefaultFileName) : std::string(currentName);
}

std::string FileVersionOf(const QHttpHeader& header) {
    for (const char* name : {"ETag", "Last-Modified"}) {
        const auto value = header.GetValue(name);
        if (!value) continue;
        std::string text;
        for (char c : *value)
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) text.push_back(c);
        const size_t first = text.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        return text.substr(first, text.find_last_not_of(' ') - first + 1);
    }
    return {};
}

bool IsHtmlInsteadOfFile(const QHttpHeader& header, std::string_view requestPath) {
    const auto type = header.GetValue("Content-Type");
    if (!type || FindNoCase(*type, "text/html") == std::string_view::npos) return false;
    std::string_view name = requestPath.substr(0, requestPath.find_first_of("?#"));
    name = name.substr(name.rfind('/') == std::string_view::npos ? 0 : name.rfind('/') + 1);
    const auto endsWith = [name](std::string_view suffix) {
        return name.size() >= suffix.size() && EqualsNoCase(name.substr(name.size() - suffix.size()), suffix);
    };
    const bool namesAPage = name.empty() || endsWith(".htm") || endsWith(".html");
    return !namesAPage;
}

}  // namespace veldmoor
