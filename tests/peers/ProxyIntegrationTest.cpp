// Real HTTP GETs to nginx through real proxy servers on loopback: microsocks
// (SOCKS5) and tinyproxy (HTTP CONNECT with Basic authorization), each started
// by the test on a port chosen at run time and stopped by it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "peers/QSocket.h"
#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NginxServer.h"
#include "tests/peers/LoopbackHelpers.h"

namespace veldmoor {
namespace {

using test::AcceptOne;
using test::Input;
using test::Loopback;
using test::ProxyAt;
using test::ReceiveAtLeast;
using test::ReceiveUntilClosed;
using test::SendAll;
using test::WaitConnected;

class ProxyIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(target_.Listen(0, Loopback()));
        std::filesystem::create_directories(dir_.File("www"));
        std::ofstream(dir_.File("www/hello.txt")) << kBody;
        nginxPort_ = nginx_.Start(dir_.File("www"), dir_.File("nginx"));
        // scripts/setup.sh installs every program these tests start: one that is
        // missing or does not start fails the test rather than hiding it.
        ASSERT_NE(nginxPort_, 0) << "nginx is not installed or did not start (scripts/setup.sh installs it)";
    }

    void TearDown() override {
        proxy_.Stop();
        if (HasFailure()) {
            const auto log = platform::ReadWholeFile(dir_.File("proxy.log"));
            if (log) std::cerr << "proxy output:\n" << *log << "\n";
        }
    }

    // Starts the program on a free port and waits until it listens; 0 on failure.
    int StartProxy(const std::string& program, const std::function<std::vector<std::string>(int port)>& arguments) {
        if (!test::ProgramExists(program)) return 0;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const int port = test::FreeLoopbackPort();
            if (port <= 0 || !proxy_.Start(arguments(port), dir_.File("proxy.log"))) continue;
            if (test::WaitForListener(port)) return port;
            proxy_.Stop();  // someone else took the port meanwhile
        }
        return 0;
    }

    int StartMicrosocks(const std::string& user = {}, const std::string& password = {}) {
        return StartProxy("microsocks", [&](int port) {
            std::vector<std::string> arguments{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
            if (!user.empty()) arguments.insert(arguments.end(), {"-u", user, "-P", password});
            return arguments;
        });
    }

    int StartTinyproxy(const std::string& user, const std::string& password) {
        return StartProxy("tinyproxy", [&](int port) {
            const std::string config = dir_.File("tinyproxy.conf");
            std::ofstream(config) << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\n"
                                  << "LogLevel Info\nAllow 127.0.0.1\nBasicAuth " << user << " " << password << "\n";
            return std::vector<std::string>{"tinyproxy", "-d", "-c", config};
        });
    }

    // After the proxy has answered, a GET through the tunnel fetches the file from nginx.
    void ExpectTunnel() {
        ASSERT_TRUE(WaitConnected(client_)) << "last error " << client_.LastError();
        ASSERT_TRUE(test::WaitUntil([&] { return client_.Receive(0) < 0 || client_.IsEstablished(); }));
        ASSERT_TRUE(client_.IsEstablished()) << "last error " << client_.LastError();
        EXPECT_EQ(client_.InputSize(), 0u) << "the proxy's reply is not payload";

        ASSERT_TRUE(SendAll(client_, "GET /hello.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
        std::string response;
        ASSERT_TRUE(test::WaitUntil([&] {
            const int received = client_.Receive(0);
            response += Input(client_);
            if (client_.InputSize() > 0) client_.ConsumeInput(static_cast<long>(client_.InputSize()), false);
            return received < 0;
        }));
        EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
        EXPECT_EQ(response.substr(response.find("\r\n\r\n") + 4), kBody);
    }

    static constexpr const char* kBody = "served by nginx through the proxy\n";
    test::NginxServer nginx_;
    int nginxPort_ = 0;
    test::TempDir dir_;
    test::ChildProcess proxy_;
    QSocket target_;
    QSocket client_;
};

#define REQUIRE_PROXY(port, program) \
    ASSERT_NE((port), 0) << program " is not installed or did not start (scripts/setup.sh installs it)"

TEST_F(ProxyIntegrationTest, Socks5WithoutCredentials) {
    const int port = StartMicrosocks();
    REQUIRE_PROXY(port, "microsocks");
    const QProxyInfo proxy = ProxyAt(kProxySocks5, port);
    ASSERT_TRUE(client_.Connect(Loopback(), nginxPort_, false, &proxy));
    ExpectTunnel();
}

TEST_F(ProxyIntegrationTest, Socks5WithUserNameAndPassword) {
    const int port = StartMicrosocks("alice", "s3cret");
    REQUIRE_PROXY(port, "microsocks");
    QProxyInfo proxy = ProxyAt(kProxySocks5, port);
    proxy.userName = "alice";
    proxy.password = "s3cret";
    ASSERT_TRUE(client_.Connect(Loopback(), nginxPort_, false, &proxy));
    ExpectTunnel();
}

TEST_F(ProxyIntegrationTest, Socks5ResolvesTheNameRemotely) {
    const int port = StartMicrosocks();
    REQUIRE_PROXY(port, "microsocks");
    QProxyInfo proxy = ProxyAt(kProxySocks5, port);
    proxy.remoteResolve = true;
    ASSERT_TRUE(client_.ConnectByName("localhost", nginxPort_, false, &proxy));
    ExpectTunnel();
    EXPECT_EQ(client_.RemoteText(), "localhost");
}

TEST_F(ProxyIntegrationTest, Socks5RefusesAWrongPassword) {
    const int port = StartMicrosocks("alice", "s3cret");
    REQUIRE_PROXY(port, "microsocks");
    QProxyInfo proxy = ProxyAt(kProxySocks5, port);
    proxy.userName = "alice";
    proxy.password = "wrong";
    client_.Connect(Loopback(), target_.LocalPort(), false, &proxy);
    EXPECT_FALSE(WaitConnected(client_));
    EXPECT_FALSE(client_.IsOpen());
}

TEST_F(ProxyIntegrationTest, Socks5RequiresCredentialsWhenTheProxyDoes) {
    const int port = StartMicrosocks("alice", "s3cret");
    REQUIRE_PROXY(port, "microsocks");
    const QProxyInfo proxy = ProxyAt(kProxySocks5, port);
    client_.Connect(Loopback(), target_.LocalPort(), false, &proxy);
    EXPECT_FALSE(WaitConnected(client_));
    EXPECT_FALSE(client_.IsOpen());
}

TEST_F(ProxyIntegrationTest, HttpConnectWithBasicAuthorization) {
    const int port = StartTinyproxy("alice", "s3cret");
    REQUIRE_PROXY(port, "tinyproxy");
    QProxyInfo proxy = ProxyAt(kProxyHttp, port);
    proxy.userName = "alice";
    proxy.password = "s3cret";
    ASSERT_TRUE(client_.Connect(Loopback(), nginxPort_, false, &proxy));
    ExpectTunnel();
}

TEST_F(ProxyIntegrationTest, HttpConnectByName) {
    const int port = StartTinyproxy("alice", "s3cret");
    REQUIRE_PROXY(port, "tinyproxy");
    QProxyInfo proxy = ProxyAt(kProxyHttp, port);
    proxy.userName = "alice";
    proxy.password = "s3cret";
    ASSERT_TRUE(client_.ConnectByName("localhost", nginxPort_, false, &proxy));
    ExpectTunnel();
}

TEST_F(ProxyIntegrationTest, HttpConnectWithoutCredentialsIsRefused) {
    const int port = StartTinyproxy("alice", "s3cret");
    REQUIRE_PROXY(port, "tinyproxy");
    const QProxyInfo proxy = ProxyAt(kProxyHttp, port);
    ASSERT_TRUE(client_.Connect(Loopback(), target_.LocalPort(), false, &proxy));
    ASSERT_TRUE(WaitConnected(client_));
    EXPECT_TRUE(ReceiveUntilClosed(client_));
    EXPECT_FALSE(client_.IsEstablished());
    EXPECT_EQ(target_.Accept(), nullptr) << "the proxy never reached the target";
}

}  // namespace
}  // namespace veldmoor
