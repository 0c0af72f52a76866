// The collector's HTTP layer in-process, on the driven clock: time-outs,
// 100-continue, the connection caps and the body memory budget.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "tests/support/TestSupport.h"
#include "tools/veldmoor-statsd/HttpServer.h"

namespace veldmoor::statsd {
namespace {

class HttpServerTest : public ::testing::Test {
protected:
    void StartServer(HttpLimits limits) {
        server_ = std::make_unique<HttpServer>(
            [this](const HttpRequest& request) {
                std::lock_guard<std::mutex> guard(logMutex_);
                clients_.push_back(request.client);
                HttpResponse response;
                response.body = "{\"error\":0,\"echo\":" + std::to_string(request.body.size()) + "}";
                return response;
            },
            [this](const std::string& line) {
                std::lock_guard<std::mutex> guard(logMutex_);
                log_ += line + "\n";
            },
            limits);
        std::string error;
        ASSERT_TRUE(server_->Listen("127.0.0.1:0", error)) << error;
        loop_ = std::thread([this] {
            while (!stop_) server_->Step(5);
        });
    }

    void TearDown() override {
        stop_ = true;
        if (loop_.joinable()) loop_.join();
        server_.reset();
        for (const int fd : sockets_) ::close(fd);
    }

    // From any loopback address: each stands for another client machine.
    int Connect(const char* from = "127.0.0.1") {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server_->Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval wait{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockets_.push_back(fd);
        return fd;
    }

    static void Send(int fd, const std::string& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `stop` appears or the connection ends.
    static std::string ReadUntil(int fd, const std::string& stop = "") {
        std::string answer;
        char buffer[1024];
        while (stop.empty() || answer.find(stop) == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
        return answer;
    }

    std::string Log() {
        std::lock_guard<std::mutex> guard(logMutex_);
        return log_;
    }

    platform::ScopedDrivenClock clock_;
    std::unique_ptr<HttpServer> server_;
    std::thread loop_;
    std::atomic<bool> stop_{false};
    std::vector<int> sockets_;
    std::mutex logMutex_;
    std::string log_;
    std::vector<std::string> clients_;  // each request's client, in order
};

TEST_F(HttpServerTest, SlowRequestsTimeOutAndSilentConnectionsAreClosed) {
    StartServer({});
    const int slow = Connect();
    const int silent = Connect();
    Send(slow, "POST /x HTTP/1.1\r\nHost: a\r\nContent-Len");
    ASSERT_TRUE(test::WaitUntil([&] { return server_->OpenConnections() == 2 && server_->BytesReceived() == 38; }));
    clock_->AdvanceMs(HttpLimits{}.idleMs + 1);
    const std::string answer = ReadUntil(slow);
    EXPECT_EQ(answer.rfind("HTTP/1.1 408 ", 0), 0u) << answer;
    EXPECT_EQ(ReadUntil(silent), "") << "a connection that never spoke is just closed";
    EXPECT_NE(Log().find("refused 408"), std::string::npos);
    // A client that trickles bytes, never idle for long, still has to finish
    // its head within the header limit.
    const int trickle = Connect();
    uint64_t received = server_->BytesReceived();
    Send(trickle, "POST /x HTTP/1.1\r\n");
    for (uint32_t waited = 0; waited <= HttpLimits{}.headerMs; waited += 5000) {
        ASSERT_TRUE(test::WaitUntil([&] { return server_->BytesReceived() > received; }));
        received = server_->BytesReceived();
        clock_->AdvanceMs(5000);
        Send(trickle, "X-A: b\r\n");
    }
    EXPECT_EQ(ReadUntil(trickle).rfind("HTTP/1.1 408 ", 0), 0u);
}

TEST_F(HttpServerTest, ExpectContinueGetsItsInterimAnswer) {
    StartServer({});
    const int fd = Connect();
    Send(fd, "POST /x HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(ReadUntil(fd, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    Send(fd, "hello");
    const std::string answer = ReadUntil(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("{\"error\":0,\"echo\":5}"), std::string::npos);
}

TEST_F(HttpServerTest, ConnectionsBeyondTheCapAreTurnedAwayAtOnce) {
    HttpLimits limits;
    limits.connections = 2;
    StartServer(limits);
    Connect();
    Connect();
    ASSERT_TRUE(test::WaitUntil([&] { return server_->OpenConnections() == 2; }));
    const std::string answer = ReadUntil(Connect());
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
    EXPECT_EQ(server_->OpenConnections(), 2u);
}

// One byte of head every 5 s, or a body at a few hundred bytes a second,
// kept every slot busy for as long as the sender liked.
TEST_F(HttpServerTest, TricklingSendersLoseTheirSlot) {
    StartServer({});
    const int head = Connect();
    for (const char* piece : {"P", "O", "S"}) {
        const uint64_t received = server_->BytesReceived();
        Send(head, piece);
        ASSERT_TRUE(test::WaitUntil([&] { return server_->BytesReceived() > received; }));
        clock_->AdvanceMs(4000);
    }
    EXPECT_EQ(ReadUntil(head).rfind("HTTP/1.1 408 ", 0), 0u) << "the head is due 10 s after the connection";

    const int body = Connect();
    // Each part is taken in whole before the clock moves, so the deadlines
    // count from the times the test means (a slow build reads late).
    const auto sendWhole = [&](const std::string& bytes) {
        const uint64_t received = server_->BytesReceived();
        Send(body, bytes);
        ASSERT_TRUE(test::WaitUntil([&] { return server_->BytesReceived() >= received + bytes.size(); }));
    };
    sendWhole("POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < 4; ++i) {
        sendWhole(std::string(500, 'a'));
        clock_->AdvanceMs(3500);
    }
    // 100000 bytes at 16 KiB/s after 5 s of grace: due after about 11 s.
    EXPECT_EQ(ReadUntil(body).rfind("HTTP/1.1 408 ", 0), 0u);
}

TEST_F(HttpServerTest, OneAddressHoldsOnlyItsShareOfConnections) {
    StartServer({});
    const size_t share = HttpLimits{}.connectionsPerAddress;
    for (size_t i = 0; i < share; ++i) Connect("127.0.0.7");
    ASSERT_TRUE(test::WaitUntil([&] { return server_->OpenConnections() == share; }));
    const std::string turnedAway = ReadUntil(Connect("127.0.0.7"));
    EXPECT_EQ(turnedAway.rfind("HTTP/1.1 503 ", 0), 0u) << turnedAway;

    const int other = Connect("127.0.0.8");
    Send(other, "GET /x HTTP/1.1\r\nHost: a\r\n\r\n");
    const std::string served = ReadUntil(other);
    EXPECT_EQ(served.rfind("HTTP/1.1 200 ", 0), 0u) << served;
}

// Bodies are reserved at their declared length: 4,000 nearly sent 1 MiB
// bodies took 4 GB before.
TEST_F(HttpServerTest, DeclaredBodiesShareOneMemoryBudget) {
    StartServer({});
    const HttpLimits limits;
    const size_t perAddress = limits.bodyMemoryPerAddress / limits.bodyBytes;
    const size_t addresses = limits.bodyMemory / limits.bodyMemoryPerAddress;
    const std::string head = "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(limits.bodyBytes) + "\r\n\r\n";
    std::vector<int> holding;
    uint64_t received = server_->BytesReceived();
    const auto sent = [&](size_t heads) {
        received += heads * head.size();
        return test::WaitUntil([&] { return server_->BytesReceived() == received; });
    };
    for (size_t a = 0; a < addresses; ++a) {
        const std::string from = "127.0.1." + std::to_string(a + 1);
        for (size_t i = 0; i < perAddress; ++i) {
            holding.push_back(Connect(from.c_str()));
            Send(holding.back(), head);
        }
        ASSERT_TRUE(sent(perAddress));
        if (a == 0) {
            const int over = Connect(from.c_str());
            Send(over, head);
            const std::string answer = ReadUntil(over);
            EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << "over the address's share: " << answer;
            received += head.size();
        }
    }
    const int late = Connect("127.0.2.1");
    Send(late, head);
    const std::string refused = ReadUntil(late);
    EXPECT_EQ(refused.rfind("HTTP/1.1 503 ", 0), 0u) << "over the whole budget: " << refused;

    // A finished body gives its room back.
    Send(holding.front(), std::string(limits.bodyBytes, 'a'));
    EXPECT_EQ(ReadUntil(holding.front()).rfind("HTTP/1.1 200 ", 0), 0u);
    const int next = Connect("127.0.2.1");
    Send(next, head + std::string(limits.bodyBytes, 'a'));
    EXPECT_EQ(ReadUntil(next).rfind("HTTP/1.1 200 ", 0), 0u);
}

// A head whose lines end in a lone LF (or CR) never shows the blank line the
// server waits for: it is refused as soon as the break arrives.
TEST_F(HttpServerTest, LoneLineBreaksAreRefusedAtOnce) {
    StartServer({});
    for (const char* head : {"GET /x HTTP/1.1\nHost: a\n\n", "GET /x HTTP/1.1\r\nHost: a\n", "GET /x HTTP/1.1\rHost: a"}) {
        SCOPED_TRACE(head);
        const int fd = Connect();
        Send(fd, head);
        const std::string answer = ReadUntil(fd);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << answer;
    }
    // A CR at the end of one read may meet its LF in the next.
    const int split = Connect();
    const uint64_t received = server_->BytesReceived();
    Send(split, "GET /x HTTP/1.1\r");
    ASSERT_TRUE(test::WaitUntil([&] { return server_->BytesReceived() > received; }));
    Send(split, "\nHost: a\r\n\r\n");
    EXPECT_EQ(ReadUntil(split).rfind("HTTP/1.1 200 ", 0), 0u);
}

// Behind a reverse proxy every client shares the proxy's address: the proxy
// is not held to one address's share, and it names the client.
TEST_F(HttpServerTest, ATrustedProxyIsNotOneAddressAndNamesItsClients) {
    HttpLimits limits;
    limits.connectionsPerAddress = 2;
    limits.trustedProxies = {Ipv4Address::FromOctets(127, 0, 0, 5)};
    StartServer(limits);
    for (int i = 0; i < 3; ++i) Connect("127.0.0.5");
    ASSERT_TRUE(test::WaitUntil([&] { return server_->OpenConnections() == 3; }));

    const auto clientOf = [&](const char* from, const std::string& forwarded) {
        const int fd = Connect(from);
        Send(fd, "GET /x HTTP/1.1\r\nHost: a\r\n" + forwarded + "\r\n");
        EXPECT_EQ(ReadUntil(fd).rfind("HTTP/1.1 200 ", 0), 0u);
        std::lock_guard<std::mutex> guard(logMutex_);
        return clients_.back();
    };
    EXPECT_EQ(clientOf("127.0.0.5", "X-Forwarded-For: 6.6.6.6, 203.0.113.9\r\n"), "203.0.113.9")
        << "the proxy's own entry is the last";
    EXPECT_EQ(clientOf("127.0.0.5", "X-Forwarded-For: nonsense\r\n"), "127.0.0.5");
    EXPECT_EQ(clientOf("127.0.0.6", "X-Forwarded-For: 203.0.113.9\r\n"), "127.0.0.6") << "anyone else may not say";
}

}  // namespace
}  // namespace veldmoor::statsd
