#pragma once
// The request line and header fields of an HTTP/1.x request, parsed strictly
// and without any socket, so the server and the fuzz target run the same code.
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace veldmoor::statsd {

struct HttpRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string peer;    // "a.b.c.d:port"
    std::string client;  // "a.b.c.d": the peer's address, or the one a trusted proxy forwarded
};

// Status 0: the head was taken. Otherwise the status and reason to refuse with.
struct HeadVerdict {
    int status = 0;
    std::string reason;
};

// `head` is every byte before the blank line that ends the head. Fills
// `request` (method, target, headers) and `contentLength` (0 when absent).
HeadVerdict ParseRequestHead(std::string_view head, size_t bodyLimit, HttpRequest& request, size_t& contentLength);

}  // namespace veldmoor::statsd
