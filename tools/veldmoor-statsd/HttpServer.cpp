#include "tools/veldmoor-statsd/HttpServer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "foundation/AsciiText.h"
#include "platform/IpAddress.h"
#include "platform/Clock.h"
#include "platform/SocketPoll.h"

namespace veldmoor::statsd {
namespace {

constexpr size_t kReadChunk = 16 * 1024;
constexpr uint32_t kDrainMs = 2000;
// The answers' "error" value when the server, not the request, is the cause.
constexpr int kServerBusy = 3;

const char* ReasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 411: return "Length Required";
        case 413: return "Content Too Large";
        case 415: return "Unsupported Media Type";
        case 422: return "Unprocessable Content";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

std::string JsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

struct HttpServer::Connection {
    enum class Phase { kReading, kWriting, kDraining };

    platform::SocketHandle socket = platform::kNoSocket;
    IpAddress address;
    std::string peer;
    Phase phase = Phase::kReading;
    std::string input;
    std::string output;
    size_t sent = 0;
    bool headerParsed = false;
    size_t bodyStart = 0;
    size_t contentLength = 0;
    size_t reservedBody = 0;
    size_t headScanned = 0;  // bytes of the head already checked for lone CR and LF
    uint32_t startedMs = 0;
    uint32_t headDoneMs = 0;
    uint32_t lastActivityMs = 0;
    uint32_t drainStartedMs = 0;
    HttpRequest request;
};

HttpResponse JsonAnswer(int status, int error, const std::string& message) {
    HttpResponse response;
    response.status = status;
    response.body = "{\"error\":" + std::to_string(error) + ",\"message\":" + JsonQuoted(message) + "}";
    return response;
}

std::string HttpServer::ClientOf(const Connection& connection) const {
    if (HeldToShare(connection.address)) return connection.address.Text();
    // Our proxy appends the address it saw last; earlier ones are the client's say.
    const auto forwarded = connection.request.headers.find("x-forwarded-for");
    if (forwarded != connection.request.headers.end()) {
        const std::string& list = forwarded->second;
        const std::string_view last = TrimBlanks(std::string_view(list).substr(list.rfind(',') + 1));
        if (const auto client = IpAddress::Parse(last)) return client->Text();
    }
    return connection.address.Text();
}

HttpServer::HttpServer(Handler handler, Logger logger, HttpLimits limits)
    : handler_(std::move(handler)), logger_(std::move(logger)), limits_(limits) {}

HttpServer::~HttpServer() {
    for (auto& entry : connections_) platform::CloseSocket(entry.first);
    platform::CloseSocket(listener_);
}

bool HttpServer::Listen(const std::string& address, std::string& error) {
    const std::optional<Endpoint> endpoint = Endpoint::Parse(address, true);
    if (!endpoint) {
        error = "the listening address must be address:port or [IPv6 address]:port, not \"" + address + "\"";
        return false;
    }
    const int socket = platform::OpenStreamSocket(endpoint->address.Family());
    if (socket < 0) {
        error = "cannot open a socket (errno " + std::to_string(-socket) + ")";
        return false;
    }
    platform::AllowAddressReuse(socket);
    int result = platform::BindSocket(socket, *endpoint);
    if (result == 0) result = platform::ListenOnSocket(socket, 4096);
    Endpoint bound;
    if (result == 0) result = platform::LocalEndpointOf(socket, &bound);
    if (result != 0) {
        platform::CloseSocket(socket);
        error = "cannot listen on " + address + " (errno " + std::to_string(-result) + ")";
        return false;
    }
    listener_ = socket;
    port_ = bound.port;
    return true;
}

void HttpServer::Step(int waitMs) {
    std::vector<platform::SocketInterest> interests;
    interests.reserve(connections_.size() + 1);
    interests.push_back({listener_, true, false});
    for (const auto& [socket, connection] : connections_) {
        const bool writing = connection->phase == Connection::Phase::kWriting;
        interests.push_back({socket, !writing, writing});
    }
    if (platform::PollSockets(interests, waitMs) > 0) {
        for (size_t i = 1; i < interests.size(); ++i) {
            auto found = connections_.find(interests[i].socket);
            if (found != connections_.end() && (interests[i].readable || interests[i].failed)) {
                ReadFrom(*found->second);
                found = connections_.find(interests[i].socket);  // reading may have closed it
            }
            if (found != connections_.end() && interests[i].writable) WriteTo(*found->second);
        }
        if (interests[0].readable) AcceptNew();
    }
    CloseExpired();
    openConnections_ = connections_.size();
}

void HttpServer::AcceptNew() {
    for (;;) {
        Endpoint peer;
        const int socket = platform::AcceptOnSocket(listener_, &peer);
        if (socket < 0) return;
        const bool full = connections_.size() >= limits_.connections;
        if (full || (HeldToShare(peer.address) && addresses_[peer.address].connections >= limits_.connectionsPerAddress)) {
            // Answered in one send and closed, so a flood of these holds nothing.
            static constexpr std::string_view kBusy =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 40\r\nConnection: close\r\n\r\n"
                "{\"error\":3,\"message\":\"server is busy\"}\n";
            platform::SendOnSocket(socket, kBusy.data(), kBusy.size());
            platform::CloseSocket(socket);
            if (addresses_[peer.address].connections == 0) addresses_.erase(peer.address);
            logger_("refused 503 from " + peer.Text() +
                    (full ? ": too many connections" : ": too many connections from this address"));
            continue;
        }
        ++addresses_[peer.address].connections;
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connection->address = peer.address;
        connection->peer = peer.Text();
        // Room for the longest head, so the buffer never grows past it.
        connection->input.reserve(limits_.headerBytes + 1);
        connection->startedMs = connection->lastActivityMs = platform::TickMs();
        connections_[socket] = std::move(connection);
    }
}

void HttpServer::ReadFrom(Connection& connection) {
    char buffer[kReadChunk];
    for (;;) {
        const long got = platform::ReceiveOnSocket(connection.socket, buffer, ReadLimit(connection));
        if (got < 0 && platform::IsWouldBlock(static_cast<int>(-got))) return;
        if (got <= 0) {
            // The client went away; a half-sent request is only worth a note.
            if (connection.phase == Connection::Phase::kReading && !connection.input.empty())
                logger_("dropped a request from " + connection.peer + ": connection closed after " +
                        std::to_string(connection.input.size()) + " bytes");
            Close(connection.socket);
            return;
        }
        connection.lastActivityMs = platform::TickMs();
        bytesReceived_ += static_cast<uint64_t>(got);
        if (connection.phase != Connection::Phase::kReading) continue;  // drained and thrown away
        connection.input.append(buffer, static_cast<size_t>(got));
        Parse(connection);
        if (connection.phase != Connection::Phase::kReading) {
            WriteTo(connection);
            return;
        }
    }
}

// Reads never take more than the request may hold, so a connection's buffer
// stays within its head's limit or its reserved body.
size_t HttpServer::ReadLimit(const Connection& connection) const {
    if (connection.phase != Connection::Phase::kReading) return kReadChunk;
    const size_t room = connection.headerParsed ? connection.bodyStart + connection.contentLength
                                                : limits_.headerBytes + 1;
    return std::clamp<size_t>(room - std::min(room, connection.input.size()), 1, kReadChunk);
}

void HttpServer::Parse(Connection& connection) {
    if (!connection.headerParsed) {
        const size_t headerEnd = connection.input.find("\r\n\r\n");
        if (HasLoneLineBreak(connection, headerEnd)) {
            Refuse(connection, 400, "a line of the request head does not end in CR LF");
            return;
        }
        if (headerEnd == std::string::npos) {
            if (connection.input.size() > limits_.headerBytes) Refuse(connection, 431, "request header too large");
            return;
        }
        if (headerEnd + 4 > limits_.headerBytes) {
            Refuse(connection, 431, "request header too large");
            return;
        }
        if (!ParseHeader(connection, headerEnd)) return;
    }
    if (connection.input.size() - connection.bodyStart < connection.contentLength) return;
    connection.request.body = connection.input.substr(connection.bodyStart, connection.contentLength);
    connection.request.peer = connection.peer;
    connection.request.client = ClientOf(connection);
    HttpResponse response;
    try {
        response = handler_(connection.request);
    } catch (...) {
        response = JsonAnswer(500, 2, "internal error");
    }
    Respond(connection, response);
}

bool HttpServer::ParseHeader(Connection& connection, size_t headerEnd) {
    const HeadVerdict verdict = ParseRequestHead(std::string_view(connection.input.data(), headerEnd), limits_.bodyBytes,
                                                 connection.request, connection.contentLength);
    if (verdict.status != 0) {
        Refuse(connection, verdict.status, verdict.reason);
        return false;
    }
    const HttpRequest& request = connection.request;
    connection.headerParsed = true;
    connection.bodyStart = headerEnd + 4;
    connection.headDoneMs = platform::TickMs();
    if (!ReserveBody(connection)) {
        logger_("refused 503 from " + connection.peer + ": body memory in use");
        Respond(connection, JsonAnswer(503, kServerBusy, "server is busy"));
        return false;
    }
    const auto expect = request.headers.find("expect");
    if (expect != request.headers.end() && EqualsNoCase(expect->second, "100-continue") &&
        connection.input.size() == connection.bodyStart) {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        platform::SendOnSocket(connection.socket, kContinue.data(), kContinue.size());
    }
    return true;
}

void HttpServer::Respond(Connection& connection, const HttpResponse& response) {
    connection.output = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) +
                        "\r\nContent-Type: " + response.contentType + "\r\nContent-Length: " +
                        std::to_string(response.body.size() + 1) + "\r\nConnection: close\r\n\r\n" + response.body + "\n";
    connection.phase = Connection::Phase::kWriting;
    connection.input.clear();
    connection.input.shrink_to_fit();
    ReleaseBody(connection);
}

bool HttpServer::HasLoneLineBreak(Connection& connection, size_t headerEnd) {
    const std::string& input = connection.input;
    const size_t end = headerEnd == std::string::npos ? input.size() : headerEnd + 4;
    for (size_t& i = connection.headScanned; i < end; ++i) {
        if (input[i] == '\n' && (i == 0 || input[i - 1] != '\r')) return true;
        if (input[i] == '\r') {
            if (i + 1 == end) break;  // its LF may be in the next read
            if (input[i + 1] != '\n') return true;
        }
    }
    return false;
}

bool HttpServer::ReserveBody(Connection& connection) {
    const size_t length = connection.contentLength;
    AddressShare& share = addresses_[connection.address];
    if (bodyMemoryInUse_ + length > limits_.bodyMemory ||
        (HeldToShare(connection.address) && share.bodyBytes + length > limits_.bodyMemoryPerAddress))
        return false;
    bodyMemoryInUse_ += length;
    share.bodyBytes += length;
    connection.reservedBody = length;
    connection.input.reserve(connection.bodyStart + length);
    return true;
}

void HttpServer::ReleaseBody(Connection& connection) {
    bodyMemoryInUse_ -= connection.reservedBody;
    addresses_[connection.address].bodyBytes -= connection.reservedBody;
    connection.reservedBody = 0;
}

void HttpServer::Close(platform::SocketHandle socket) {
    const auto found = connections_.find(socket);
    if (found == connections_.end()) return;
    Connection& connection = *found->second;
    ReleaseBody(connection);
    const auto share = addresses_.find(connection.address);
    if (--share->second.connections == 0) addresses_.erase(share);
    platform::CloseSocket(socket);
    connections_.erase(found);
}

void HttpServer::Refuse(Connection& connection, int status, const std::string& reason) {
    logger_("refused " + std::to_string(status) + " from " + connection.peer + ": " + reason);
    Respond(connection, JsonAnswer(status, 1, reason));
}

void HttpServer::WriteTo(Connection& connection) {
    if (connection.phase != Connection::Phase::kWriting) return;
    while (connection.sent < connection.output.size()) {
        const long sent = platform::SendOnSocket(connection.socket, connection.output.data() + connection.sent,
                                                 connection.output.size() - connection.sent);
        if (sent < 0 && platform::IsWouldBlock(static_cast<int>(-sent))) return;
        if (sent <= 0) {
            Close(connection.socket);
            return;
        }
        connection.sent += static_cast<size_t>(sent);
        connection.lastActivityMs = platform::TickMs();
    }
    // Closing with unread input would reset the connection and could destroy
    // the answer in flight: say we are done, then read until the client is.
    platform::ShutdownSending(connection.socket);
    connection.phase = Connection::Phase::kDraining;
    connection.drainStartedMs = platform::TickMs();
}

void HttpServer::CloseExpired() {
    const uint32_t now = platform::TickMs();
    std::vector<platform::SocketHandle> expired;
    std::vector<platform::SocketHandle> timedOut;
    for (const auto& [socket, connection] : connections_) {
        const uint32_t idle = now - connection->lastActivityMs;
        switch (connection->phase) {
            case Connection::Phase::kReading:
                if (ReadingOverdue(*connection, now)) (connection->input.empty() ? expired : timedOut).push_back(socket);
                break;
            case Connection::Phase::kWriting:
                if (idle > limits_.idleMs) expired.push_back(socket);
                break;
            case Connection::Phase::kDraining:
                if (now - connection->drainStartedMs > kDrainMs) expired.push_back(socket);
                break;
        }
    }
    for (const platform::SocketHandle socket : timedOut) {
        Refuse(*connections_[socket], 408, "request not complete in time");
        WriteTo(*connections_[socket]);
    }
    for (const platform::SocketHandle socket : expired) Close(socket);
}

bool HttpServer::ReadingOverdue(const Connection& connection, uint32_t now) const {
    if (now - connection.lastActivityMs > limits_.idleMs || now - connection.startedMs > limits_.requestMs) return true;
    if (!connection.headerParsed) return now - connection.startedMs > limits_.headerMs;
    if (limits_.minBodyBytesPerSecond == 0) return false;
    const uint64_t bodyMs = limits_.bodyGraceMs + uint64_t{connection.contentLength} * 1000 / limits_.minBodyBytesPerSecond;
    return now - connection.headDoneMs > bodyMs;
}

}  // namespace veldmoor::statsd
