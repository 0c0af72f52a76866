#include "peers/QHttpHeader.h"
#include "foundation/AsciiText.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace veldmoor {
namespace {

constexpr std::string_view kStatusLinePrefix = "HTTP";
constexpr std::string_view kVersionPrefix = "HTTP/";
// Fewer bytes than this cannot hold a line and the empty line after it.
constexpr size_t kMinimumBytes = 3;

bool IsBlankOrControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
}

// The words of a status line are separated by runs of blanks.
std::string_view NextWord(std::string_view line, size_t& at) {
    const size_t start = line.find_first_not_of(kBlanks, at);
    if (start == std::string_view::npos) {
        at = line.size();
        return {};
    }
    const size_t end = std::min(line.find_first_of(kBlanks, start), line.size());
    at = end;
    return line.substr(start, end - start);
}

// A status code is all digits and fits; anything else reads as 0.
int32_t ParseStatusCode(std::string_view word) {
    if (word.empty() || !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) return 0;
    int32_t code = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), code);
    return error == std::errc() && end == word.data() + word.size() ? code : 0;
}

}  // namespace

HttpHeaderResult QHttpHeader::Parse(const uint8_t* data, size_t length) {
    return Parse(std::string_view(reinterpret_cast<const char*>(data), data ? length : 0));
}

HttpHeaderResult QHttpHeader::Parse(std::string_view data) {
    if (complete_) return HttpHeaderResult::kComplete;
    if (data.size() < kMinimumBytes) return HttpHeaderResult::kIncomplete;
    const size_t end = FindEnd(data);
    if (end == 0) return data.size() >= kMaxBytes ? HttpHeaderResult::kTooLarge : HttpHeaderResult::kIncomplete;
    headerLength_ = end;
    complete_ = true;
    Split(data.substr(0, end));
    return HttpHeaderResult::kComplete;
}

void QHttpHeader::Clear() { *this = QHttpHeader(); }

size_t QHttpHeader::FindEnd(std::string_view data) {
    // A caller that broke the contract and passed fewer bytes than before
    // gets a fresh search rather than a read beyond its buffer.
    if (searchFrom_ > data.size()) lineStart_ = searchFrom_ = 0;
    const std::string_view window = data.substr(0, std::min(data.size(), kMaxBytes));
    while (searchFrom_ < window.size()) {
        const size_t lineEnd = window.find('\n', searchFrom_);
        if (lineEnd == std::string_view::npos) {
            searchFrom_ = window.size();
            break;
        }
        const std::string_view line = window.substr(lineStart_, lineEnd - lineStart_);
        lineStart_ = searchFrom_ = lineEnd + 1;
        if (line.empty() || line == "\r") return lineEnd + 1;
    }
    return 0;
}

void QHttpHeader::Split(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    while (!text.empty()) {
        const size_t lineEnd = text.find('\n');
        std::string_view line = text.substr(0, lineEnd);
        text = lineEnd == std::string_view::npos ? std::string_view() : text.substr(lineEnd + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines_.emplace_back(line);
    }
    if (lines_.empty()) return;

    const std::string_view first = lines_.front();
    if (first.starts_with(kStatusLinePrefix)) {
        ReadStatusLine(first);
        lines_.erase(lines_.begin());
    } else if (first.find(kSeparator) == std::string_view::npos) {
        // Neither a status line nor a header line: nothing to keep.
        lines_.erase(lines_.begin());
    }
}

void QHttpHeader::ReadStatusLine(std::string_view line) {
    hasStatusLine_ = true;
    if (line.starts_with(kVersionPrefix)) {
        const std::string_view rest = line.substr(kVersionPrefix.size());
        const std::string_view version = rest.substr(0, rest.find_first_of(kBlanks));
        if (!version.empty()) version_ = std::string(version);
    }
    size_t at = 0;
    NextWord(line, at);
    statusCode_ = ParseStatusCode(NextWord(line, at));
    const size_t reasonStart = line.find_first_not_of(kBlanks, at);
    if (reasonStart != std::string_view::npos) reason_ = std::string(line.substr(reasonStart));
}

std::optional<std::string_view> QHttpHeader::GetValue(std::string_view name) const {
    if (name.empty()) return std::nullopt;
    for (const std::string& stored : lines_) {
        const std::string_view line = stored;
        if (line.size() <= name.size() || !EqualsNoCase(line.substr(0, name.size()), name)) continue;
        const size_t colon = line.find_first_not_of(kBlanks, name.size());
        if (colon == std::string_view::npos || line[colon] != kSeparator) continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && IsBlankOrControl(value.front())) value.remove_prefix(1);
        return value;
    }
    return std::nullopt;
}

}  // namespace veldmoor
