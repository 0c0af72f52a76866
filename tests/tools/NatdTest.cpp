#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/veldmoor-natd/NatdOptions.h"
#include "udp/UdpWire.h"

namespace veldmoor::natd {
namespace {

TEST(NatdOptionsTest, AcceptsPortAndLimitsAndRefusesBadLines) {
    const ParsedOptions good = ParseNatdOptions({"--rate", "5", "--burst", "9", "--max-registrations", "7", "82"});
    ASSERT_TRUE(good.options);
    EXPECT_EQ(good.options->port, 82);
    EXPECT_EQ(good.options->limits.datagramsPerSecond, 5);
    EXPECT_EQ(good.options->limits.burst, 9);
    EXPECT_EQ(good.options->limits.maxRegistrations, 7u);
    const ParsedOptions limits = ParseNatdOptions({"--global-rate", "100", "--global-burst", "200", "--member-rate", "2",
                                                   "--member-burst", "8", "--max-per-address", "16",
                                                   "--takeover-seconds", "90", "--takeover-direct-seconds", "400", "82"});
    ASSERT_TRUE(limits.options);
    EXPECT_EQ(limits.options->limits.globalDatagramsPerSecond, 100);
    EXPECT_EQ(limits.options->limits.globalBurst, 200);
    EXPECT_EQ(limits.options->limits.memberDatagramsPerSecond, 2);
    EXPECT_EQ(limits.options->limits.memberBurst, 8);
    EXPECT_EQ(limits.options->limits.maxRegistrationsPerAddress, 16u);
    EXPECT_EQ(limits.options->limits.takeoverAfterMs, 90'000);
    EXPECT_EQ(limits.options->limits.takeoverAfterDirectMs, 400'000);
    const ParsedOptions bound = ParseNatdOptions({"--bind", "198.51.100.254", "82"});
    ASSERT_TRUE(bound.options);
    EXPECT_EQ(bound.options->address, Ipv4Address::FromOctets(198, 51, 100, 254));
    EXPECT_TRUE(ParseNatdOptions({"--help"}).help);
    const struct {
        std::vector<std::string> line;
        const char* error;
    } refused[] = {
        {{}, "no port given"},
        {{"70000"}, "invalid port: 70000"},
        {{"82", "83"}, "more than one port given"},
        {{"--rate", "0", "82"}, "invalid value for --rate: 0"},
        {{"--rate"}, "--rate needs a value"},
        {{"--colour", "1", "82"}, "unknown option --colour"},
        {{"--bind", "300.1.2.3", "82"}, "invalid address for --bind: 300.1.2.3"},
    };
    for (const auto& line : refused) {
        const ParsedOptions parsed = ParseNatdOptions(line.line);
        EXPECT_FALSE(parsed.options);
        EXPECT_EQ(parsed.error, line.error);
    }
}

long ReceiveWithin(int socket, std::vector<uint8_t>& buffer, int ms) {
    if (platform::WaitOnSocket(socket, platform::SocketWait::kReadable, ms) != 1) return 0;
    return platform::ReceiveDatagram(socket, buffer.data(), buffer.size(), nullptr);
}

TEST(NatdProgramTest, AnswersRegistrationsAndLookupsOnLoopback) {
    test::TempDir dir;
    test::ChildProcess natd;
    ASSERT_TRUE(natd.Start({VELDMOOR_NATD_PATH, "--stats-seconds", "0", "0"}, dir.File("natd.log")));
    const int port = test::UdpPortFromNatdLog(dir.File("natd.log"));
    ASSERT_GT(port, 0);
    const uint32_t loopback = inet_addr("127.0.0.1");

    const int socket = platform::OpenExclusiveDatagramSocket(0, 65536);
    ASSERT_GE(socket, 0);
    Endpoint local;
    platform::LocalEndpointOf(socket, &local);
    std::vector<uint8_t> message(udp::kRegisterSize, 0);
    udp::PutU32(message.data() + 12, udp::kRegisterType);
    const udp::EndpointIdentity identity = udp::MakeOwnIdentity({7, 7, 7, 7, 7, 7, 7, 7});
    udp::PutBytes(message.data() + 16, identity);
    udp::PutU32(message.data() + 36, local.port);
    platform::SendDatagram(socket, message.data(), message.size(), {Ipv4Address::FromNetworkOrder(loopback), static_cast<uint16_t>(port)});
    std::vector<uint8_t> reply(udp::kMaxDatagram);
    ASSERT_EQ(ReceiveWithin(socket, reply, 5000), 8);
    EXPECT_EQ(udp::GetIp(reply.data()), loopback);
    EXPECT_EQ(udp::GetU32(reply.data() + 4), local.port);

    // Looking itself up by address: the echo, then its own key.
    std::vector<uint8_t> lookup(udp::kLookupBatchStart, 0);
    udp::PutU32(lookup.data() + 12, udp::kLookupType);
    udp::PutBytes(lookup.data() + 16, identity);
    udp::PutI32(lookup.data() + 28, 5);
    udp::PutU32(lookup.data() + 44, 1);
    udp::PutBytes(lookup.data() + 56, udp::AddressKey(loopback, local.port));
    platform::SendDatagram(socket, lookup.data(), lookup.size(), {Ipv4Address::FromNetworkOrder(loopback), static_cast<uint16_t>(port)});
    const long length = ReceiveWithin(socket, reply, 5000);
    ASSERT_EQ(length, 80);
    EXPECT_EQ(udp::GetU32(reply.data() + 12), udp::kLookupReplyType);
    EXPECT_EQ(udp::GetU32(reply.data() + 44), 2u);
    EXPECT_EQ(udp::GetBytes<8>(reply.data() + 72), udp::KeyOf(identity));

    // The node found is introduced to the one looking: here, to itself.
    ASSERT_EQ(ReceiveWithin(socket, reply, 5000), 32);
    EXPECT_EQ(udp::GetU32(reply.data()), udp::kIntroduceTag);

    // Garbage gets no answer.
    const std::vector<uint8_t> garbage(100, 0xEE);
    platform::SendDatagram(socket, garbage.data(), garbage.size(), {Ipv4Address::FromNetworkOrder(loopback), static_cast<uint16_t>(port)});
    EXPECT_EQ(ReceiveWithin(socket, reply, 300), 0);

    // Another endpoint naming the same key while it is kept alive is refused,
    // and gets no address report that would look like success.
    const int other = platform::OpenExclusiveDatagramSocket(0, 65536);
    ASSERT_GE(other, 0);
    platform::SendDatagram(other, message.data(), message.size(), {Ipv4Address::FromNetworkOrder(loopback), static_cast<uint16_t>(port)});
    EXPECT_EQ(ReceiveWithin(other, reply, 300), 0);
    platform::CloseSocket(other);
    platform::CloseSocket(socket);
    natd.Stop();
    std::ifstream log(dir.File("natd.log"));
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("registers 2, keep-alives 0, lookups 1, introductions 1"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("malformed 1"), std::string::npos);
    EXPECT_NE(text.str().find("take-overs refused 1"), std::string::npos);
}

}  // namespace
}  // namespace veldmoor::natd
