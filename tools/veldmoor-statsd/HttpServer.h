#pragma once
// A small, strict HTTP/1.1 server on one IPv4 port: one thread, poll(),
// one request per connection. Headers and bodies are bounded, one address
// holds only a share of the connections and of the body memory, slow
// clients time out, and every refusal gets a status and a reason in JSON.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "tools/veldmoor-statsd/RequestHead.h"

namespace veldmoor::statsd {

struct HttpLimits {
    size_t headerBytes = 16 * 1024;
    size_t bodyBytes = 1024 * 1024;
    size_t connections = 4096;
    size_t connectionsPerAddress = 64;
    // Bodies are reserved at their declared length once the head is read.
    size_t bodyMemory = 64 * 1024 * 1024;
    size_t bodyMemoryPerAddress = 8 * 1024 * 1024;
    uint32_t idleMs = 10'000;     // no byte in either direction for this long
    uint32_t headerMs = 10'000;   // the request line and header fields must arrive within this
    uint32_t requestMs = 30'000;  // the whole request must arrive within this
    // After the head, the body may take bodyGraceMs plus its length at this
    // rate (still within requestMs): a trickling sender gives its slot back.
    uint32_t bodyGraceMs = 5'000;
    size_t minBodyBytesPerSecond = 16 * 1024;
    // Reverse proxies in front of the server: they are not
    // held to one address's share, and the last address of their
    // X-Forwarded-For names the client.
    std::set<IpAddress> trustedProxies;
};

struct HttpResponse {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
};

// A JSON answer in the shape clients look for: {"error":N,"message":"..."}.
HttpResponse JsonAnswer(int status, int error, const std::string& message);

class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    using Logger = std::function<void(const std::string&)>;

    HttpServer(Handler handler, Logger logger, HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds "a.b.c.d:port" or "[v6]:port" (port 0: any free port). False with `error` set.
    bool Listen(const std::string& address, std::string& error);
    uint16_t Port() const { return port_; }

    // One round: waits up to `waitMs` for sockets, then serves what is ready.
    void Step(int waitMs);
    // Readable from any thread: the connections held after the last round,
    // and every byte received so far.
    size_t OpenConnections() const { return openConnections_.load(); }
    uint64_t BytesReceived() const { return bytesReceived_.load(); }

private:
    struct Connection;
    // What one remote address holds right now.
    struct AddressShare {
        size_t connections = 0;
        size_t bodyBytes = 0;
    };

    void AcceptNew();
    bool HasLoneLineBreak(Connection& connection, size_t headerEnd);
    bool ReserveBody(Connection& connection);
    void ReleaseBody(Connection& connection);
    void Close(platform::SocketHandle socket);
    bool ReadingOverdue(const Connection& connection, uint32_t now) const;
    bool HeldToShare(const IpAddress& address) const { return !limits_.trustedProxies.contains(address); }
    std::string ClientOf(const Connection& connection) const;
    void ReadFrom(Connection& connection);
    size_t ReadLimit(const Connection& connection) const;
    void WriteTo(Connection& connection);
    void Parse(Connection& connection);
    bool ParseHeader(Connection& connection, size_t headerEnd);
    void Respond(Connection& connection, const HttpResponse& response);
    void Refuse(Connection& connection, int status, const std::string& reason);
    void CloseExpired();

    Handler handler_;
    Logger logger_;
    HttpLimits limits_;
    platform::SocketHandle listener_ = platform::kNoSocket;
    uint16_t port_ = 0;
    std::map<platform::SocketHandle, std::unique_ptr<Connection>> connections_;
    std::map<IpAddress, AddressShare> addresses_;
    size_t bodyMemoryInUse_ = 0;
    std::atomic<size_t> openConnections_{0};

    std::atomic<uint64_t> bytesReceived_{0};
};



}  // namespace veldmoor::statsd
