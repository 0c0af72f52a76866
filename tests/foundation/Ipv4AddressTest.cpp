// Dotted IPv4 text and the address rules every subsystem shares.
#include <gtest/gtest.h>

#include "foundation/Ipv4Address.h"

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

}  // namespace
}  // namespace veldmoor
