#pragma once
// What an HTTP source learns from a response header: how to treat its status,
// the file's size and name, and where in the file the body begins.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "peers/QHttpHeader.h"

namespace veldmoor {

inline constexpr const char* kHttpDefaultFileName = "index.htm";

enum class HttpStatusClass {
    kSuccess,      // 2xx: data
    kRedirect,     // 3xx: follow Location
    kClientError,  // 4xx: the source is dropped
    kServerError,  // 5xx: the source waits
    kOther,        // anything else, a missing status line included: the step fails
};
HttpStatusClass ClassifyHttpStatus(int32_t statusCode);

// Numbers in these values are plain decimals that fit a signed 64-bit
// integer; anything longer, signed or mixed with other bytes is refused
// (empty), never wrapped or cut short.

// The total after "/" in a Content-Range value ("bytes 0-99/5000" gives 5000);
// empty without "/" or for "*".
std::optional<int64_t> ContentRangeTotal(std::string_view value);
// The first byte position of a Content-Range value ("bytes 100-199/5000"
// gives 100); empty unless it reads "[bytes] first-last" with first <= last
// and, when the total is a number, last below it.
std::optional<int64_t> ContentRangeStart(std::string_view value);
std::optional<int64_t> ContentLengthValue(std::string_view value);

struct HttpFileSize {
    int64_t size = 0;            // 0 while unknown
    bool lengthUnknown = false;  // neither Content-Range nor a usable Content-Length came
};
// The size from Content-Range's total when the header has Content-Range (the
// length of a partial answer is not the file's), else from Content-Length.
HttpFileSize FileSizeFromHeader(const QHttpHeader& header);

// Where the body of a response lies in the file: 0 for 200, the Content-Range
// start for 206; empty for anything else, since no other status carries the
// file's bytes at a known place.
std::optional<int64_t> BodyStartPosition(const QHttpHeader& header);
// Bytes to read and drop before the body reaches `requestedStart`, so that
// data is never taken for the wrong position: 0 when the body starts there,
// the gap when it starts up to 128 KiB before (a server that ignored the
// Range), empty when it starts after it, too far before, or nowhere known.
std::optional<int64_t> BytesBeforeRequestedStart(const QHttpHeader& header, int64_t requestedStart);

// The body comes in chunks: the last coding Transfer-Encoding names is "chunked".
bool IsChunkedBody(const QHttpHeader& header);
// The body's length in bytes, when Content-Length frames it (never for a
// chunked body, where Content-Length does not count); empty otherwise.
std::optional<int64_t> FramedBodyLength(const QHttpHeader& header);
// How the body is coded beyond chunked framing, as "Content-Encoding: gzip"
// or "Transfer-Encoding: gzip, chunked" (printable bytes only, cut short);
// empty when the body is the file's bytes as they stand (no coding, or
// "identity"). Nothing is asked for coded, so a coded body is a server's
// mistake and is never taken for the file.
std::optional<std::string> UnsupportedBodyCoding(const QHttpHeader& header);
// The connection may carry another request after this answer: the server
// keeps it open (HTTP/1.1 without "Connection: close", or an HTTP/1.0
// "Connection: keep-alive") and the body's end is known without a close.
bool AllowsAnotherRequest(const QHttpHeader& header);

// The file name of a Content-Disposition value: what follows "filename=",
// up to the closing quote when quoted, else up to ";" or the end with blanks
// trimmed. Only the last path component is kept; empty when there is no
// name, or it is ".", "..", or holds control characters.
std::optional<std::string> FileNameFromDisposition(std::string_view value);
// The name a success response gives the source: Content-Disposition's name
// when usable, else `currentName`, else "index.htm".
std::string FileNameFromResponse(const QHttpHeader& header, std::string_view currentName);
// The version of the file an answer carries: its ETag, else its Last-Modified
// (blanks and control bytes trimmed); "" when it names neither.
std::string FileVersionOf(const QHttpHeader& header);
// An answer plainly not the file: an HTML page for a name that is not one.
bool IsHtmlInsteadOfFile(const QHttpHeader& header, std::string_view requestPath);

}  // namespace veldmoor
