#include "peers/LocalEndpoint.h"

#include <gtest/gtest.h>

#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

TEST(LocalEndpointTest, KnowsThePrivateRanges) {
    struct Case {
        uint32_t ip;
        bool isPrivate;
    };
    const Case cases[] = {
        {AddressFromBytes(0, 1, 2, 3), true},      {AddressFromBytes(6, 255, 0, 1), true},
        {AddressFromBytes(7, 0, 0, 1), false},     {AddressFromBytes(10, 20, 30, 40), true},
        {AddressFromBytes(127, 0, 0, 1), true},    {AddressFromBytes(192, 168, 1, 1), true},
        {AddressFromBytes(192, 169, 1, 1), false}, {AddressFromBytes(169, 254, 3, 4), true},
        {AddressFromBytes(169, 253, 3, 4), false}, {AddressFromBytes(172, 15, 0, 1), false},
        {AddressFromBytes(172, 16, 0, 1), true},   {AddressFromBytes(172, 31, 255, 255), true},
        {AddressFromBytes(172, 32, 0, 1), false},  {AddressFromBytes(8, 8, 8, 8), false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPrivateAddress(c.ip), c.isPrivate) << AddressText(c.ip);
}

TEST(LocalEndpointTest, PrefersTheLastPublicAddressWithinTheWalk) {
    const uint32_t lan = AddressFromBytes(192, 168, 1, 5);
    const uint32_t lan2 = AddressFromBytes(10, 0, 0, 5);
    const uint32_t wan = AddressFromBytes(203, 0, 114, 9);
    const uint32_t wan2 = AddressFromBytes(198, 51, 100, 7);
    struct Case {
        std::vector<uint32_t> addresses;
        int maxEntries;
        uint32_t expected;
    };
    const Case cases[] = {
        {{}, -1, kNoAddress},
        {{lan, lan2}, -1, lan2},            // no public one: the last valid one
        {{lan, wan, lan2}, -1, wan},        // a public one wins over a later private one
        {{wan, lan, wan2}, -1, wan2},       // the last public one
        {{lan, lan2, wan}, 1, lan2},        // n = 1 walks two entries only
        {{lan, lan2, wan}, 0, lan},         // n = 0 walks one
        {{0, kNoAddress}, -1, kNoAddress},  // nothing valid
    };
    for (const Case& c : cases) EXPECT_EQ(ChooseLocalAddress(c.addresses, c.maxEntries), c.expected);
}

TEST(LocalEndpointTest, ChangesOnlyValidValues) {
    const uint32_t address = AddressFromBytes(10, 0, 0, 9);
    SetLocalEndpoint(address, 6881);
    EXPECT_TRUE(HasLocalAddress());
    EXPECT_EQ(LocalBindAddress(), address);
    EXPECT_EQ(ListenPort(), 6881);

    SetLocalEndpoint(0, 0);
    SetLocalEndpoint(kNoAddress, 70000);
    EXPECT_EQ(LocalBindAddress(), address);
    EXPECT_EQ(ListenPort(), 6881);

    SetLocalEndpoint(kNoAddress, 7000);
    EXPECT_EQ(LocalBindAddress(), address);
    EXPECT_EQ(ListenPort(), 7000);
}

TEST(LocalEndpointTest, HandsOutCopiesOfTheDefaultProxy) {
    QProxyInfo proxy;
    proxy.kind = kProxySocks5;
    proxy.ip = AddressFromBytes(127, 0, 0, 1);
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
