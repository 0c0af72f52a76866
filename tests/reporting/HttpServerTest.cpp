// The collector's HTTP layer in-process, on the driven clock: time-outs,
// 100-continue, and the connection cap.
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
            [](const HttpRequest& request) {
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

    int Connect() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
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
    // its request within the request limit.
    const int trickle = Connect();
    uint64_t received = server_->BytesReceived();
    Send(trickle, "POST /x HTTP/1.1\r\n");
    for (uint32_t waited = 0; waited <= HttpLimits{}.requestMs; waited += 5000) {
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

}  // namespace
}  // namespace veldmoor::statsd
