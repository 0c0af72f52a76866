// Address text, wire forms and the address rules every subsystem shares.
#include <gtest/gtest.h>

#include "platform/IpAddress.h"

namespace veldmoor {
namespace {

TEST(Ipv4Address, ParsesOnlyStrictDottedQuads) {
    const struct {
        const char* text;
        std::optional<std::array<uint8_t, 4>> octets;
    } cases[] = {
        {"10.77.0.2", std::array<uint8_t, 4>{10, 77, 0, 2}},
        {"0.0.0.0", std::array<uint8_t, 4>{0, 0, 0, 0}},
        {"255.255.255.255", std::array<uint8_t, 4>{255, 255, 255, 255}},
        {"", std::nullopt},
        {"1.2.3", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"1.2.3.256", std::nullopt},
        {"1.2.3.1000", std::nullopt},
        {"1..3.4", std::nullopt},
        {"1.2.3.4.", std::nullopt},
        {" 1.2.3.4", std::nullopt},
        {"1.2.3.4 ", std::nullopt},
        {"-1.2.3.4", std::nullopt},
        {"+1.2.3.4", std::nullopt},
        {"010.0.0.1", std::nullopt},  // octal to some readers, decimal to others
        {"1.2.3.x", std::nullopt},
        {"example.org", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = Ipv4Address::Parse(c.text);
        ASSERT_EQ(parsed.has_value(), c.octets.has_value()) << c.text;
        if (parsed) {
            EXPECT_EQ(parsed->Octets(), *c.octets) << c.text;
            EXPECT_EQ(parsed->Text(), c.text) << "round trip";
        }
    }
}

TEST(Ipv4Address, NetworkOrderPutsTheFirstOctetFirstInMemory) {
    const Ipv4Address address = Ipv4Address::FromOctets(192, 168, 1, 255);
    const uint32_t networkOrder = address.NetworkOrder();
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&networkOrder)[0], 192);
    EXPECT_EQ(Ipv4Address::FromNetworkOrder(networkOrder), address);
    EXPECT_EQ(Ipv4Address::FromNetworkOrder(networkOrder).Text(), "192.168.1.255");
}

TEST(Ipv4Address, PrivateAndLoopbackRanges) {
    const struct {
        const char* text;
        bool isPrivate;
        bool isLoopback;
    } cases[] = {
        {"0.1.2.3", true, false},      {"6.255.0.1", true, false},     {"7.0.0.1", false, false},
        {"10.20.30.40", true, false},  {"127.0.0.1", true, true},      {"127.255.1.1", true, true},
        {"126.0.0.1", false, false},   {"128.0.0.1", false, false},    {"192.168.1.1", true, false},
        {"192.169.1.1", false, false}, {"169.254.3.4", true, false},   {"169.253.3.4", false, false},
        {"172.15.0.1", false, false},  {"172.16.0.1", true, false},    {"172.31.255.255", true, false},
        {"172.32.0.1", false, false},  {"8.8.8.8", false, false},      {"100.64.0.1", false, false},
    };
    for (const auto& c : cases) {
        const Ipv4Address address = *Ipv4Address::Parse(c.text);
        EXPECT_EQ(address.IsPrivate(), c.isPrivate) << c.text;
        EXPECT_EQ(address.IsLoopback(), c.isLoopback) << c.text;
    }
}

TEST(IpAddress, ParsesBothFamiliesAndPrintsTheShortestForm) {
    const struct {
        const char* text;
        std::optional<std::string> printed;  // nullopt: no address
        AddressFamily family;
    } cases[] = {
        {"192.0.2.1", "192.0.2.1", AddressFamily::kIpv4},
        {"2001:db8::1", "2001:db8::1", AddressFamily::kIpv6},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1", AddressFamily::kIpv6},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", AddressFamily::kIpv6},
        {"::", "::", AddressFamily::kIpv6},
        {"::1", "::1", AddressFamily::kIpv6},
        // A dual-stack socket reports IPv4 peers mapped: one peer, one value.
        {"::ffff:192.0.2.1", "192.0.2.1", AddressFamily::kIpv4},
        {"::ffff:c000:201", "192.0.2.1", AddressFamily::kIpv4},
        {"fe80::1%eth0", std::nullopt, AddressFamily::kIpv6},
        {"[2001:db8::1]", std::nullopt, AddressFamily::kIpv6},
        {"2001:db8::1::2", std::nullopt, AddressFamily::kIpv6},
        {"2001:db8:1:2:3:4:5:6:7", std::nullopt, AddressFamily::kIpv6},
        {"12345::", std::nullopt, AddressFamily::kIpv6},
        {":", std::nullopt, AddressFamily::kIpv6},
        {"example.org", std::nullopt, AddressFamily::kIpv4},
        {"010.0.0.1", std::nullopt, AddressFamily::kIpv4},
        {"", std::nullopt, AddressFamily::kIpv4},
    };
    for (const auto& c : cases) {
        const auto parsed = IpAddress::Parse(c.text);
        ASSERT_EQ(parsed.has_value(), c.printed.has_value()) << c.text;
        if (!parsed) continue;
        EXPECT_EQ(parsed->Text(), *c.printed) << c.text;
        EXPECT_EQ(parsed->Family(), c.family) << c.text;
        EXPECT_EQ(IpAddress::Parse(parsed->Text()), parsed) << "round trip of " << c.text;
    }
}

TEST(IpAddress, RulesKnowBothFamilies) {
    const struct {
        const char* text;
        bool isPrivate, isLoopback, isLinkLocal, isGlobalV6;
    } cases[] = {
        {"192.168.1.1", true, false, false, false},   {"8.8.8.8", false, false, false, false},
        {"127.0.0.1", true, true, false, false},      {"169.254.9.9", true, false, true, false},
        {"::1", true, true, false, false},            {"::", true, false, false, false},
        {"fe80::1", true, false, true, false},        {"febf::1", true, false, true, false},
        {"fec0::1", false, false, false, true},       {"fd12:3456::1", true, false, false, false},
        {"fc00::1", true, false, false, false},       {"ff02::1", true, false, false, false},
        {"2001:db8::1", false, false, false, true},   {"2a00:1450::200e", false, false, false, true},
        {"::ffff:10.0.0.1", true, false, false, false},
    };
    for (const auto& c : cases) {
        const IpAddress address = *IpAddress::Parse(c.text);
        EXPECT_EQ(address.IsPrivate(), c.isPrivate) << c.text;
        EXPECT_EQ(address.IsLoopback(), c.isLoopback) << c.text;
        EXPECT_EQ(address.IsLinkLocal(), c.isLinkLocal) << c.text;
        EXPECT_EQ(address.IsGlobalV6(), c.isGlobalV6) << c.text;
    }
}

TEST(IpAddress, NetworksAreSlash24AndSlash64) {
    const auto at = [](const char* text) { return *IpAddress::Parse(text); };
    EXPECT_TRUE(at("10.1.2.3").SameNetwork(at("10.1.2.200")));
    EXPECT_FALSE(at("10.1.2.3").SameNetwork(at("10.1.3.3")));
    EXPECT_TRUE(at("2001:db8:1:2::5").SameNetwork(at("2001:db8:1:2:ffff::9")));
    EXPECT_FALSE(at("2001:db8:1:2::5").SameNetwork(at("2001:db8:1:3::5")));
    EXPECT_FALSE(at("0.0.0.0").SameNetwork(at("::")));
    // One home line holds a whole /64: its addresses count as one for connection limits.
    EXPECT_EQ(at("2001:db8:1:2::5").ConnectionGroup(), at("2001:db8:1:2:abcd::1").ConnectionGroup());
    EXPECT_NE(at("2001:db8:1:2::5").ConnectionGroup(), at("2001:db8:1:3::5").ConnectionGroup());
    EXPECT_NE(at("10.0.0.1").ConnectionGroup(), at("10.0.0.2").ConnectionGroup());
}

TEST(Endpoint, TextAndParseUseBracketsForIpv6) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"192.0.2.1:6881", true}, {"[2001:db8::1]:6881", true}, {"[::1]:1", true},
        {"[::ffff:192.0.2.1]:80", false},  // prints as 192.0.2.1:80, checked below
        {"2001:db8::1:6881", false},       {"[2001:db8::1]", false},   {"[2001:db8::1]6881", false},
        {"192.0.2.1:0", false},            {"192.0.2.1:65536", false}, {"192.0.2.1:", false},
        {"192.0.2.1:+80", false},          {"host:80", false},         {"[host]:80", false},
    };
    for (const auto& c : cases) {
        const auto parsed = Endpoint::Parse(c.text);
        if (c.valid) {
            ASSERT_TRUE(parsed) << c.text;
            EXPECT_EQ(parsed->Text(), c.text);
        } else if (parsed) {
            EXPECT_NE(parsed->Text(), c.text) << c.text;
        }
    }
    EXPECT_EQ(Endpoint::Parse("[::ffff:192.0.2.1]:80")->Text(), "192.0.2.1:80");
    EXPECT_TRUE(Endpoint::Parse("0.0.0.0:0", true));
}

TEST(Endpoint, CompactFormsRoundTrip) {
    const std::string v4Wire("\xC0\x00\x02\x01\x1A\xE1", 6);
    const auto v4 = Endpoint::FromCompact(std::span(reinterpret_cast<const uint8_t*>(v4Wire.data()), v4Wire.size()));
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->Text(), "192.0.2.1:6881");

    const Endpoint v6 = *Endpoint::Parse("[2001:db8::abcd]:443");
    std::string wire;
    EXPECT_EQ(v6.AppendCompact(wire), Endpoint::kCompactV6Bytes);
    EXPECT_EQ(static_cast<uint8_t>(wire[0]), 0x20);
    EXPECT_EQ(static_cast<uint8_t>(wire[16]), 0x01);
    EXPECT_EQ(static_cast<uint8_t>(wire[17]), 0xBB);
    EXPECT_EQ(Endpoint::FromCompact(std::span(reinterpret_cast<const uint8_t*>(wire.data()), wire.size())), v6);

    for (const size_t badSize : {0u, 5u, 7u, 17u})
        EXPECT_FALSE(Endpoint::FromCompact(std::span(reinterpret_cast<const uint8_t*>(wire.data()), std::min(badSize, wire.size()))))
            << badSize;
}

}  // namespace
}  // namespace veldmoor
