#include "peers/LocalEndpoint.h"

#include <gtest/gtest.h>

#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

TEST(LocalEndpointTest, PrefersTheLastPublicAddressWithinTheWalk) {
    const IpAddress lan = Ipv4Address::FromOctets(192, 168, 1, 5);
    const IpAddress lan2 = Ipv4Address::FromOctets(10, 0, 0, 5);
    const IpAddress wan = Ipv4Address::FromOctets(203, 0, 114, 9);
    const IpAddress wan2 = Ipv4Address::FromOctets(198, 51, 100, 7);
    const IpAddress broadcast = Ipv4Address::FromOctets(255, 255, 255, 255);
    struct Case {
        std::vector<IpAddress> addresses;
        int maxEntries;
        std::optional<IpAddress> expected;
    };
    const Case cases[] = {
        {{}, -1, std::nullopt},
        {{lan, lan2}, -1, lan2},            // no public one: the last valid one
        {{lan, wan, lan2}, -1, wan},        // a public one wins over a later private one
        {{wan, lan, wan2}, -1, wan2},       // the last public one
        {{lan, lan2, wan}, 1, lan2},        // n = 1 walks two entries only
        {{lan, lan2, wan}, 0, lan},         // n = 0 walks one
        {{Ipv4Address{}, broadcast}, -1, std::nullopt},  // nothing valid
    };
    for (const Case& c : cases) EXPECT_EQ(ChooseLocalAddress(c.addresses, c.maxEntries), c.expected);
}

TEST(LocalEndpointTest, ChangesOnlyValidValues) {
    const IpAddress address = Ipv4Address::FromOctets(10, 0, 0, 9);
    SetLocalEndpoint(address, 6881);
    EXPECT_TRUE(HasLocalAddress());
    EXPECT_EQ(LocalBindAddress(), address);
    EXPECT_EQ(ListenPort(), 6881);

    SetLocalEndpoint(Ipv4Address{}, 0);
    SetLocalEndpoint(Ipv4Address::FromOctets(255, 255, 255, 255), 70000);
    EXPECT_EQ(LocalBindAddress(), address);
    EXPECT_EQ(ListenPort(), 6881);

    SetLocalEndpoint(std::nullopt, 7000);
    EXPECT_EQ(LocalBindAddress(), address);
    EXPECT_EQ(ListenPort(), 7000);
}

TEST(LocalEndpointTest, HandsOutCopiesOfTheDefaultProxy) {
    QProxyInfo proxy;
    proxy.kind = kProxySocks5;
    proxy.ip = Ipv4Address::FromOctets(127, 0, 0, 1);
    proxy.port = 1080;
    proxy.userName = "alice";
    SetDefaultProxy(proxy);

    QProxyInfo copy = CopyDefaultProxy();
    EXPECT_EQ(copy.kind, kProxySocks5);
    EXPECT_EQ(copy.userName, "alice");
    copy.userName = "changed";
    EXPECT_EQ(CopyDefaultProxy().userName, "alice");

    SetDefaultProxy(QProxyInfo{});
    EXPECT_FALSE(CopyDefaultProxy().IsConfigured());
}

}  // namespace
}  // namespace veldmoor
