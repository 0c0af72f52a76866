// Feeds arbitrary bytes to the statistics collector's request head parser,
// cut at the first blank line as the server cuts them. Beyond the sanitizers'
// checks it traps when:
//  - a refusal has no reason or a status the server does not send, or an
//    accepted head carries a reason;
//  - an accepted method is not upper-case letters, its target does not start
//    with '/', or target or header values hold a space in the target, CR, LF,
//    NUL or another control character (tab inside a value aside);
//  - a header name is empty, not lower case or not a token, a value has
//    surrounding blanks, or there are more than 100 fields;
//  - a POST has no Content-Length, a body length exceeds the limit or differs
//    from the header, or a chunked request is taken;
//  - the accepted request written out again in canonical form parses to
//    anything else.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/veldmoor-statsd/RequestHead.h"

namespace {

using veldmoor::statsd::HeadVerdict;
using veldmoor::statsd::HttpRequest;
using veldmoor::statsd::ParseRequestHead;

constexpr size_t kBodyLimit = 1024 * 1024;

void Check(bool condition) {
    if (!condition) std::abort();
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

void CheckAccepted(const HttpRequest& request, size_t contentLength) {
    Check(!request.method.empty());
    for (const char c : request.method) Check(c >= 'A' && c <= 'Z');
    Check(!request.target.empty() && request.target[0] == '/');
    for (const char c : request.target) Check(c != ' ' && !IsControl(c));
    Check(request.headers.size() <= 100);
    for (const auto& [name, value] : request.headers) {
        Check(!name.empty());
        for (const char c : name) Check(IsTokenChar(c));
        for (const char c : value) Check(c == '\t' || !IsControl(c));
        Check(value.empty() || (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' && value.back() != '\t'));
    }
    Check(!request.headers.contains("transfer-encoding"));
    Check(contentLength <= kBodyLimit);
    const auto length = request.headers.find("content-length");
    if (length == request.headers.end()) {
        Check(contentLength == 0 && request.method != "POST");
    } else {
        const std::string& text = length->second;
        Check(!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos);
        Check(contentLength == std::stoull(text));
    }
}

std::string Canonical(const HttpRequest& request) {
    std::string head = request.method + " " + request.target + " HTTP/1.0";
    for (const auto& [name, value] : request.headers) head += "\r\n" + name + ": " + value;
    return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view head(reinterpret_cast<const char*>(data), size);
    head = head.substr(0, head.find("\r\n\r\n"));
    HttpRequest request;
    size_t contentLength = 1;
    const HeadVerdict verdict = ParseRequestHead(head, kBodyLimit, request, contentLength);
    if (verdict.status != 0) {
        Check(!verdict.reason.empty());
        Check(verdict.status == 400 || verdict.status == 411 || verdict.status == 413 || verdict.status == 431 ||
              verdict.status == 505);
        return 0;
    }
    Check(verdict.reason.empty());
    CheckAccepted(request, contentLength);

    HttpRequest again;
    size_t againLength = 1;
    const HeadVerdict second = ParseRequestHead(Canonical(request), kBodyLimit, again, againLength);
    Check(second.status == 0 && again.method == request.method && again.target == request.target &&
          again.headers == request.headers && againLength == contentLength);
    return 0;
}
