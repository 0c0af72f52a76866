// Feeds arbitrary bytes to the HTTP response header parser and to the value
// parsers an HTTP source applies to what it finds. Beyond the sanitizers'
// checks, it traps when:
//  - the header's reported end is not the first empty line, lies past the
//    input or past the 64 KiB cap, or a result contradicts the input's size;
//  - the same bytes arriving in pieces parse differently from arriving whole;
//  - a stored line holds a line feed, or a look-up returns a value that is
//    not inside one of the stored lines;
//  - a value parser returns a negative number, a file name with a path or
//    control character, or a redirect address carrying CR, LF or NUL;
//  - a request built from header-derived fields contains a line break other
//    than the line ends of its fixed lines;
//  - a body coding named for the user holds a byte that is not printable
//    ASCII, or runs longer than its cut.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "peers/HttpRequest.h"
#include "peers/HttpResponse.h"
#include "peers/HttpStreamRules.h"
#include "peers/QHttpHeader.h"
#include "peers/SourceAddress.h"

namespace {

using veldmoor::HttpHeaderResult;
using veldmoor::QHttpHeader;

constexpr std::string_view kNames[] = {"Content-Range", "Content-Length", "Content-Disposition", "Location",
                                       "content-length", "X"};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "http_header_fuzz: %s\n", what);
    __builtin_trap();
}

// The length of the text up to and including its first empty line, or 0.
size_t FirstEmptyLineEnd(std::string_view text) {
    size_t lineStart = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\n') continue;
        const std::string_view line = text.substr(lineStart, at - lineStart);
        if (line.empty() || line == "\r") return at + 1;
        lineStart = at + 1;
    }
    return 0;
}

void CheckResultAgainstInput(const QHttpHeader& header, HttpHeaderResult result, std::string_view input) {
    if (input.size() < 3) {
        if (result != HttpHeaderResult::kIncomplete) Fail("a result from at most two bytes");
        return;
    }
    const size_t expectedEnd = FirstEmptyLineEnd(input.substr(0, QHttpHeader::kMaxBytes));
    switch (result) {
        case HttpHeaderResult::kComplete:
            if (header.GetHeaderLength() != expectedEnd) Fail("the header does not end at its first empty line");
            if (expectedEnd == 0 || expectedEnd > input.size() || expectedEnd > QHttpHeader::kMaxBytes) {
                Fail("the header length lies outside the input or the cap");
            }
            break;
        case HttpHeaderResult::kIncomplete:
            if (expectedEnd != 0 || input.size() >= QHttpHeader::kMaxBytes) Fail("a finished header reported incomplete");
            break;
        case HttpHeaderResult::kTooLarge:
            if (expectedEnd != 0 || input.size() < QHttpHeader::kMaxBytes) Fail("a header refused below the cap");
            break;
    }
}

bool Contains(std::string_view outer, std::string_view inner) {
    return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

void CheckLinesAndLookups(const QHttpHeader& header) {
    for (const std::string& line : header.GetLines()) {
        if (line.find('\n') != std::string::npos) Fail("a stored line holds a line feed");
    }
    for (const std::string_view name : kNames) {
        const auto value = header.GetValue(name);
        if (!value) continue;
        bool inside = false;
        for (const std::string& line : header.GetLines()) inside = inside || Contains(line, *value);
        if (!inside) Fail("a looked-up value lies outside the stored lines");
    }
}

void CheckSameHeader(const QHttpHeader& a, const QHttpHeader& b) {
    if (a.IsComplete() != b.IsComplete() || a.GetHeaderLength() != b.GetHeaderLength() ||
        a.GetStatusCode() != b.GetStatusCode() || a.GetReason() != b.GetReason() ||
        a.GetVersion() != b.GetVersion() || a.GetLines() != b.GetLines() || a.HasStatusLine() != b.HasStatusLine()) {
        Fail("pieces and whole parse differently");
    }
}

// Grows the buffer by steps that the input's own bytes choose.
void CheckPiecewise(std::string_view input, const QHttpHeader& whole, HttpHeaderResult wholeResult) {
    QHttpHeader piecewise;
    HttpHeaderResult result = HttpHeaderResult::kIncomplete;
    size_t length = 0;
    for (size_t step = 0; length < input.size(); ++step) {
        length += 1 + static_cast<unsigned char>(input[step % input.size()]) % 97;
        if (length > input.size()) length = input.size();
        result = piecewise.Parse(input.substr(0, length));
        if (result == HttpHeaderResult::kComplete) break;
    }
    if (result != wholeResult) Fail("pieces and whole give different results");
    CheckSameHeader(piecewise, whole);
}

void CheckFileName(const std::optional<std::string>& name) {
    if (!name) return;
    if (name->empty() || *name == "." || *name == ".." || name->find_first_of("/\\") != std::string::npos) {
        Fail("an unusable file name was accepted");
    }
    for (const char c : *name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail("a file name holds a control character");
    }
}

size_t CountOf(std::string_view text, std::string_view wanted) {
    size_t count = 0;
    for (size_t at = text.find(wanted); at != std::string_view::npos; at = text.find(wanted, at + 1)) ++count;
    return count;
}

// Every fixed line ends in CR LF, and nothing a remote party said adds another.
void CheckRequest(const veldmoor::HttpRequestFields& fields) {
    const std::string request = veldmoor::BuildHttpRequest(fields);
    if (request.empty()) return;
    const bool ranged = fields.start > 0 || fields.end > fields.start;
    const size_t expectedLines = 9 + (ranged ? 1 : 0) + (fields.cookie.empty() ? 0 : 1);
    if (CountOf(request, "\r\n") != expectedLines || CountOf(request, "\r") != expectedLines ||
        CountOf(request, "\n") != expectedLines || request.find('\0') != std::string::npos) {
        Fail("a request carries a line break from its fields");
    }
}

void CheckValues(const QHttpHeader& header) {
    for (const std::string_view name : kNames) {
        const std::string_view value = header.GetValue(name).value_or("");
        if (veldmoor::ContentRangeTotal(value).value_or(0) < 0 || veldmoor::ContentRangeStart(value).value_or(0) < 0 ||
            veldmoor::ContentLengthValue(value).value_or(0) < 0) {
            Fail("a negative count was accepted");
        }
        CheckFileName(veldmoor::FileNameFromDisposition(value));

        for (const int32_t port : {80, 8080}) {
            const std::string url = veldmoor::AbsoluteRedirectUrl(value, "mirror", port);
            if (veldmoor::HasLineBreakOrNul(url)) Fail("a redirect address carries CR, LF or NUL");
            const veldmoor::HttpUrlParts parts = veldmoor::SplitHttpUrl(url);
            veldmoor::HttpRequestFields fields;
            fields.path = parts.path;
            fields.host = "mirror";
            fields.port = port;
            fields.refererBase = parts.refererBase;
            fields.start = veldmoor::ContentRangeStart(value).value_or(0);
            CheckRequest(fields);
        }
        // Unchecked values straight into the request: the builder must refuse what is unsafe.
        veldmoor::HttpRequestFields raw;
        raw.path = value;
        raw.host = value;
        raw.cookie = value;
        raw.explicitReferer = value;
        CheckRequest(raw);
    }

    const veldmoor::HttpFileSize size = veldmoor::FileSizeFromHeader(header);
    if (size.size < 0 || (size.lengthUnknown && size.size != 0)) Fail("a bad file size");
    const auto bodyStart = veldmoor::BodyStartPosition(header);
    if (bodyStart && *bodyStart < 0) Fail("a negative body start");
    for (const int64_t requested : {int64_t{0}, int64_t{1048576}, bodyStart.value_or(0) + 100}) {
        const auto skip = veldmoor::BytesBeforeRequestedStart(header, requested);
        if (skip && (*skip < 0 || *skip > veldmoor::kHttpMaxStreamSkip)) Fail("a skip outside 0..128 KiB");
    }
    const std::string name = veldmoor::FileNameFromResponse(header, "");
    CheckFileName(name);
    if (const auto coding = veldmoor::UnsupportedBodyCoding(header)) {
        // "Transfer-Encoding: " + 40 bytes + "...".
        constexpr size_t kLongestShown = 19 + 40 + 3;
        if (coding->size() > kLongestShown) Fail("a body coding shown without a cut");
        for (const char c : *coding) {
            if (c < 0x20 || c >= 0x7F) Fail("a body coding shown with an unprintable byte");
        }
    }
    (void)veldmoor::ClassifyHttpStatus(header.GetStatusCode());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    QHttpHeader whole;
    const HttpHeaderResult result = whole.Parse(data, size);
    CheckResultAgainstInput(whole, result, input);
    if (size > 0) CheckPiecewise(input, whole, result);
    if (result == HttpHeaderResult::kComplete) {
        CheckLinesAndLookups(whole);
        CheckValues(whole);
    }

    // The cap is reached only by long inputs; repeating short ones gets there.
    // That costs a 64 KiB scan, so only one input in eight, picked by its last byte, pays it.
    const bool checkCap = size > 0 && (data[size - 1] & 7) == 0;
    if (checkCap && size < QHttpHeader::kMaxBytes && result != HttpHeaderResult::kComplete) {
        std::string repeated;
        while (repeated.size() <= QHttpHeader::kMaxBytes) repeated.append(input);
        QHttpHeader capped;
        CheckResultAgainstInput(capped, capped.Parse(repeated), repeated);
    }
    return 0;
}
