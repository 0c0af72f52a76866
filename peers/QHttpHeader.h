#pragma once
// The response header of an HTTP exchange: found at the start of a receive
// buffer, split into its status line and header lines, and searched by name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldmoor {

enum class HttpHeaderResult {
    kIncomplete,  // the closing empty line has not arrived yet
    kComplete,
    kTooLarge,  // no closing empty line within kMaxBytes: the remote party is refused
};

class QHttpHeader {
public:
    // A header longer than this, its closing empty line included, is refused.
    static constexpr size_t kMaxBytes = 64 * 1024;
    static constexpr char kSeparator = ':';

    // Parses the header at the start of `data`, reading no byte at or beyond
    // `length`. While the result is kIncomplete, each call must pass the same
    // bytes again, possibly followed by more: the search for the end resumes
    // where the previous call stopped, so a header arriving in small pieces
    // is scanned once. A complete header stays as it is until Clear.
    HttpHeaderResult Parse(const uint8_t* data, size_t length);
    HttpHeaderResult Parse(std::string_view data);
    // Forgets everything, ready for the next response.
    void Clear();

    bool IsComplete() const { return complete_; }
    // Bytes the header took, its closing empty line included; 0 until complete.
    size_t GetHeaderLength() const { return headerLength_; }
    bool HasStatusLine() const { return hasStatusLine_; }
    // 0 when there was no status line or its code was not a decimal number.
    int32_t GetStatusCode() const { return statusCode_; }
    const std::string& GetReason() const { return reason_; }
    const std::string& GetVersion() const { return version_; }
    // The header lines in order, each whole ("Name: value"), the status line excluded.
    const std::vector<std::string>& GetLines() const { return lines_; }

    // The value of the first line named `name` (case ignored; blanks may stand
    // before the colon), with leading blanks and control characters skipped.
    // Points into this header; empty when no line has that name.
    std::optional<std::string_view> GetValue(std::string_view name) const;

private:
    static constexpr const char* kDefaultVersion = "1.0";

    // Looks for the empty line that closes the header, resuming where the
    // last call stopped. Returns the header's length including that line, or
    // 0 while it has not been found within kMaxBytes.
    size_t FindEnd(std::string_view data);
    void Split(std::string_view text);
    void ReadStatusLine(std::string_view line);

    bool complete_ = false;
    size_t lineStart_ = 0;   // the start of the line not yet seen whole
    size_t searchFrom_ = 0;  // where the search for its end resumes
    size_t headerLength_ = 0;
    bool hasStatusLine_ = false;
    int32_t statusCode_ = 0;
    std::string reason_;
    std::string version_ = kDefaultVersion;
    std::vector<std::string> lines_;
};

}  // namespace veldmoor
