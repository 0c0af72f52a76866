// The port mapping against a real uPnP router: three network namespaces made
// by the test (a LAN with the client, a router running miniupnpd on nftables,
// a WAN with a remote peer), joined by veth pairs and reachable from nowhere
// else. The client runs inside the LAN namespace, so its search never leaves
// the namespaces; a capture in the test's own namespace checks that.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

constexpr char kMiniupnpd[] = "/usr/sbin/miniupnpd";
constexpr char kDescription[] = "Veldmoor uPnP for P2SP upload/download";
constexpr char kLanClientAddress[] = "10.77.0.2";
constexpr char kRouterLanAddress[] = "10.77.0.1";
// The router refuses private and reserved addresses on its WAN side, so the
// WAN namespace gets addresses from a public range. No route leads out of the
// namespaces: nothing sent to them can leave this machine's test setup.
constexpr char kRouterWanAddress[] = "198.20.0.1";
constexpr char kWanPeerAddress[] = "198.20.0.2";
// What the capture in the test's own namespace looks for: search packets and
// anything to or from the namespaces' addresses.
constexpr char kLeakFilter[] = "udp port 1900 or net 10.77.0.0/24 or net 198.20.0.0/24";

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string Output(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
        ::pclose(pipe);
    }
    return output;
}

bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds limit) {
    return test::WaitUntil([&] { return ReadText(path).find(text) != std::string::npos; }, limit);
}

// The three namespaces and their links; removed again (with the links) when
// the object goes, whatever the test's outcome.
class RouterNamespaces {
public:
    RouterNamespaces() : suffix_(std::to_string(::getpid() % 100000)) {
        lan = "vmupnp-lan-" + suffix_;
        router = "vmupnp-rtr-" + suffix_;
        wan = "vmupnp-wan-" + suffix_;
        lanLink = "vmul" + suffix_;
        routerLanLink = "vmurl" + suffix_;
        wanLink = "vmuw" + suffix_;
        routerWanLink = "vmurw" + suffix_;
    }
    ~RouterNamespaces() { Remove(); }
    RouterNamespaces(const RouterNamespaces&) = delete;
    RouterNamespaces& operator=(const RouterNamespaces&) = delete;

    bool Create(const std::string& rulesetPath) {
        Remove();
        const std::vector<std::string> commands = {
            "ip netns add " + lan, "ip netns add " + router, "ip netns add " + wan,
            "ip link add " + lanLink + " netns " + lan + " type veth peer name " + routerLanLink + " netns " + router,
            "ip link add " + wanLink + " netns " + wan + " type veth peer name " + routerWanLink + " netns " + router,
            In(lan, "ip addr add " + std::string(kLanClientAddress) + "/24 dev " + lanLink),
            In(lan, "ip link set lo up"), In(lan, "ip link set " + lanLink + " up"),
            In(lan, "ip route add default via " + std::string(kRouterLanAddress)),
            In(router, "ip addr add " + std::string(kRouterLanAddress) + "/24 dev " + routerLanLink),
            In(router, "ip addr add " + std::string(kRouterWanAddress) + "/24 dev " + routerWanLink),
            In(router, "ip link set lo up"), In(router, "ip link set " + routerLanLink + " up"),
            In(router, "ip link set " + routerWanLink + " up"), In(router, "sysctl -qw net.ipv4.ip_forward=1"),
            In(router, "nft -f " + rulesetPath),
            In(wan, "ip addr add " + std::string(kWanPeerAddress) + "/24 dev " + wanLink),
            In(wan, "ip link set lo up"), In(wan, "ip link set " + wanLink + " up"),
        };
        for (const std::string& command : commands) {
            if (!Run(command)) {
                failed_ = command;
                return false;
            }
        }
        return true;
    }

    static std::string In(const std::string& ns, const std::string& command) {
        return "ip netns exec " + ns + " " + command;
    }
    const std::string& FailedCommand() const { return failed_; }

    std::string lan, router, wan, lanLink, routerLanLink, wanLink, routerWanLink;

private:
    void Remove() {
        for (const std::string& ns : {lan, router, wan}) Run("ip netns del " + ns);
    }

    std::string suffix_;
    std::string failed_;
};

class UpnpRouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        VELDMOOR_REQUIRE_ROOT("making network namespaces");
        for (const char* program : {"ip", "nft", "tcpdump"}) {
            VELDMOOR_REQUIRE_STARTED(test::ProgramExists(program), program << " (scripts/setup.sh installs it)");
        }
        VELDMOOR_REQUIRE_STARTED(::access(kMiniupnpd, X_OK) == 0, kMiniupnpd << " (scripts/setup.sh installs it)");

        WriteRouterFiles();
        ASSERT_TRUE(namespaces_.Create(dir_.File("ruleset.nft"))) << namespaces_.FailedCommand();
        ASSERT_TRUE(leakCapture_.Start({"tcpdump", "-i", "any", "-n", "-p", "-U", "-w", dir_.File("leak.pcap"),
                                        kLeakFilter},
                                       dir_.File("leak.log")));
        ASSERT_TRUE(WaitForText(dir_.File("leak.log"), "listening on", std::chrono::seconds(10)));
        SendLoopbackMarker();
        ASSERT_TRUE(lanCapture_.Start({"ip", "netns", "exec", namespaces_.lan, "tcpdump", "-i", namespaces_.lanLink,
                                       "-n", "-p", "-U", "-w", dir_.File("lan.pcap"), "udp port 1900"},
                                      dir_.File("lan-capture.log")));
        ASSERT_TRUE(WaitForText(dir_.File("lan-capture.log"), "listening on", std::chrono::seconds(10)));
    }

    void TearDown() override {
        if (::geteuid() != 0 || !leakCapture_.IsRunning()) return;
        client_.Stop();
        router_.Stop();
        leakCapture_.Stop();
        lanCapture_.Stop();
        // The capture works (it saw the marker) and saw nothing of the test's
        // traffic outside its namespaces.
        EXPECT_NE(PacketsIn(dir_.File("leak.pcap"), "host 127.0.0.1"), "") << "the capture saw nothing at all";
        EXPECT_EQ(PacketsIn(dir_.File("leak.pcap"), "not host 127.0.0.1"), "") << "packets left the namespaces";
        // The client's search did go out, inside the LAN.
        EXPECT_NE(PacketsIn(dir_.File("lan.pcap"), ""), "") << "no search seen in the LAN namespace";
    }

    void WriteRouterFiles() {
        std::ofstream(dir_.File("ruleset.nft"))
            << "table inet filter {\n"
               "  chain forward { type filter hook forward priority 0; policy drop;\n"
               "    ct state established,related accept; jump miniupnpd; }\n"
               "  chain miniupnpd { }\n"
               "  chain prerouting { type nat hook prerouting priority -100; policy accept;\n"
               "    jump prerouting_miniupnpd; }\n"
               "  chain postrouting { type nat hook postrouting priority 100; policy accept;\n"
               "    jump postrouting_miniupnpd; }\n"
               "  chain prerouting_miniupnpd { }\n"
               "  chain postrouting_miniupnpd { }\n"
               "}\n";
        std::ofstream(dir_.File("miniupnpd.conf"))
            << "ext_ifname=" << namespaces_.routerWanLink << "\n"
            << "listening_ip=" << namespaces_.routerLanLink << "\n"
            << "http_port=0\nenable_natpmp=no\nenable_upnp=yes\nsecure_mode=yes\nsystem_uptime=no\n"
               "notify_interval=60\nuuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
               "friendly_name=Veldmoor Test Router\n"
               "upnp_table_name=filter\nupnp_nat_table_name=filter\nupnp_forward_chain=miniupnpd\n"
               "upnp_nat_chain=prerouting_miniupnpd\nupnp_nat_postrouting_chain=postrouting_miniupnpd\n"
               "allow 1024-65535 10.77.0.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n";
    }

    void StartRouter() {
        ASSERT_TRUE(router_.Start({"ip", "netns", "exec", namespaces_.router, kMiniupnpd, "-f",
                                   dir_.File("miniupnpd.conf"), "-d", "-P", dir_.File("miniupnpd.pid")},
                                  dir_.File("router.log")));
        ASSERT_TRUE(WaitForText(dir_.File("router.log"), "HTTP listening on port", std::chrono::seconds(10)))
            << ReadText(dir_.File("router.log"));
    }

    void StartClient() {
        ASSERT_TRUE(client_.Start({"ip", "netns", "exec", namespaces_.lan, UPNP_LAN_CLIENT_PATH},
                                  dir_.File("client.log")));
        ASSERT_TRUE(WaitForText(dir_.File("client.log"), "PORT ", std::chrono::seconds(10)));
    }

    std::string ClientLog() const { return ReadText(dir_.File("client.log")); }

    int ClientPort() const {
        std::smatch match;
        const std::string log = ClientLog();
        if (!std::regex_search(log, match, std::regex("PORT (\\d+)"))) return -1;
        return std::stoi(match[1]);
    }

    std::string RouterRules() const {
        return Output(RouterNamespaces::In(namespaces_.router, "nft list chain inet filter prerouting_miniupnpd"));
    }

    static std::string PacketsIn(const std::string& pcap, const std::string& filter) {
        return Output("tcpdump -r " + pcap + " -n '" + filter + "'");
    }

    // One datagram that matches the capture's filter without leaving loopback.
    static void SendLoopbackMarker() {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(1900);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, "marker", 6, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ::close(fd);
    }

    test::TempDir dir_;
    RouterNamespaces namespaces_;
    // Declared after the namespaces: they stop before the namespaces go.
    test::ChildProcess leakCapture_;
    test::ChildProcess lanCapture_;
    test::ChildProcess router_;
    test::ChildProcess client_;
};

TEST_F(UpnpRouterTest, MapsTheListeningPortOnTheRouterAndRemovesItOnACleanExit) {
    StartRouter();
    StartClient();
    ASSERT_TRUE(WaitForText(dir_.File("client.log"), "MAPPED", std::chrono::seconds(30))) << ClientLog();
    const int port = ClientPort();
    ASSERT_GE(port, 40000);
    ASSERT_LE(port, 50000);
    const std::string portText = std::to_string(port);

    // The router forwards the port to the client and lists the mapping with its
    // description and a lease.
    EXPECT_NE(RouterRules().find("dport " + portText + " dnat ip to " + kLanClientAddress + ":" + portText),
              std::string::npos)
        << RouterRules();
    const std::string log = ClientLog();
    std::smatch entry;
    ASSERT_TRUE(std::regex_search(log, entry, std::regex("ENTRY (\\S+) (\\d+) (\\d+) (.*)"))) << log;
    EXPECT_EQ(entry[1], kLanClientAddress);
    EXPECT_EQ(entry[2], portText);
    EXPECT_GT(std::stoi(entry[3]), 0) << "the router granted no lease";
    EXPECT_EQ(entry[4], kDescription);
    EXPECT_NE(ReadText(dir_.File("router.log")).find(std::string("for: ") + kDescription), std::string::npos);
    EXPECT_NE(log.find("LOG 3 NAT Device found : Name : <Veldmoor Test Router>"), std::string::npos) << log;
    EXPECT_NE(log.find("LOG 3 uPnP成功"), std::string::npos) << log;
    EXPECT_NE(log.find("EVENT 11390000 \n"), std::string::npos) << log;

    // A peer on the WAN side reaches the client's listener through the router.
    const std::string reply = Output(RouterNamespaces::In(namespaces_.wan, std::string(UPNP_LAN_CLIENT_PATH) +
                                                                            " --connect " + kRouterWanAddress + " " +
                                                                            portText));
    EXPECT_EQ(reply, "REPLY pong\n");
    EXPECT_TRUE(WaitForText(dir_.File("client.log"), std::string("ACCEPTED ") + kWanPeerAddress + " ping",
                            std::chrono::seconds(5)))
        << ClientLog();

    // A clean exit takes the mapping off the router.
    client_.Stop();
    EXPECT_NE(ClientLog().find("REMOVED"), std::string::npos) << ClientLog();
    EXPECT_EQ(RouterRules().find("dport " + portText), std::string::npos) << RouterRules();
    EXPECT_EQ(Output(RouterNamespaces::In(namespaces_.wan, std::string(UPNP_LAN_CLIENT_PATH) + " --connect " +
                                                               kRouterWanAddress + " " + portText)),
              "CONNECT-FAILED\n");
}

TEST_F(UpnpRouterTest, WithNoRouterAnsweringTheMappingFailsAndThePortIsKept) {
    StartClient();
    const int port = ClientPort();
    EXPECT_GE(port, 40000);
    // Two searches of a few seconds each (the device search and the mapping
    // worker's own); real time, as the router's silence is real.
    ASSERT_TRUE(WaitForText(dir_.File("client.log"), "EVENT 11500105", std::chrono::seconds(45))) << ClientLog();
    const std::string log = ClientLog();
    EXPECT_NE(log.find("LOG 3 NAT device ^Not^ found.."), std::string::npos) << log;
    EXPECT_NE(log.find("EVENT 11500105 uPnP失败，因为没有IGD设备信息\n"), std::string::npos) << log;
    // The port came back before the search was over.
    EXPECT_LT(log.find("PORT "), log.find("NAT device ^Not^ found.."));
    EXPECT_EQ(log.find("MAPPED"), std::string::npos);
    client_.Stop();
    EXPECT_NE(ClientLog().find("REMOVED"), std::string::npos);
}

}  // namespace
}  // namespace veldmoor
