#pragma once
// What an HTTP source sends: the ranged GET, the parts of it taken from the
// source's URL, and the absolute address a redirect leads to.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veldmoor {

inline constexpr int32_t kHttpDefaultPort = 80;
inline constexpr const char* kHttpUserAgent = "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Veldmoor/1.0.3";

struct HttpRequestFields {
    std::string_view path;         // starts with "/"
    std::string_view host;         // the Host line; ":port" is added when the port is not 80
    int32_t port = kHttpDefaultPort;
    std::string_view refererBase;  // sent as "Referer: " + base
    // Replaces the referer base, sent without a blank after the colon.
    std::optional<std::string_view> explicitReferer;
    std::string_view cookie;  // empty: no cookie line
    // The Range line: "bytes=start-" when start is above 0, with the end
    // appended when it lies above start (then also from position 0).
    int64_t start = 0;
    int64_t end = 0;
    // Sent as If-Range with a Range from above 0: the server answers with the
    // whole file instead of the part when its file is no longer this version.
    std::string_view ifRange;
};

// The request text, every line ending in CR LF and the whole closed by an
// empty line. Empty when it cannot be sent safely: an empty path or host, a
// port outside 1..65535, a negative start, or CR, LF or NUL in any field
// (they would split the request and let the URL forge header lines).
std::string BuildHttpRequest(const HttpRequestFields& fields);

struct HttpUrlParts {
    std::string refererBase;  // the URL up to its last "/" (the whole URL when it has no path)
    std::string path;         // from the first "/" after the host; "/" when there is none
};
HttpUrlParts SplitHttpUrl(std::string_view url);

// Where a redirect leads. A Location that names a scheme ("http://",
// "ftp://", or any other "name://") is taken as it stands, so that a scheme
// this client cannot fetch is refused later when the address is parsed
// instead of being glued onto the old host; "//host/path" takes the scheme
// "http:". Anything else is a path on the same server: "http://" + host
// (+ ":" + port when not 80) (+ "/" when the location has none at its
// start) + location. Blanks around the location are dropped. Empty for an
// empty location or one carrying CR, LF or NUL.
std::string AbsoluteRedirectUrl(std::string_view location, std::string_view host, int32_t port);

}  // namespace veldmoor
