#include <gtest/gtest.h>

#include <vector>

#include "tests/udp/FakeUdpNetwork.h"
#include "udp/RendezvousService.h"

namespace veldmoor::udp::testing {
namespace {

struct Sent {
    std::vector<uint8_t> bytes;
    uint32_t ip;
    uint16_t port;
};

class RendezvousServiceTest : public ::testing::Test {
protected:
    RendezvousServiceTest() { Make({}); }

    void Make(RendezvousLimits limits) {
        service_ = std::make_unique<RendezvousService>(
            limits, [this](const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port) {
                sent_.push_back({{bytes, bytes + length}, ip, port});
            });
    }

    static std::vector<uint8_t> Register(const NodeKey& key, uint32_t localIp, uint32_t localPort) {
        std::vector<uint8_t> bytes(kRegisterSize, 0);
        PutU32(bytes.data() + 12, kRegisterType);
        PutBytes(bytes.data() + 16, MakeOwnIdentity(key));
        PutI32(bytes.data() + 28, 1);
        PutIp(bytes.data() + 32, localIp);
        PutU32(bytes.data() + 36, localPort);
        return bytes;
    }

    static std::vector<uint8_t> Lookup(const NodeKey& requester, const std::vector<NodeKey>& targets) {
        std::vector<uint8_t> bytes(kLookupHeaderSize + kLookupEntrySize * std::max<size_t>(targets.size(), 1), 0);
        PutU32(bytes.data() + 12, kLookupType);
        PutBytes(bytes.data() + 16, MakeOwnIdentity(requester));
        PutI32(bytes.data() + 28, 77);
        PutI32(bytes.data() + 40, 1);
        PutU32(bytes.data() + 44, static_cast<uint32_t>(targets.size()));
        for (size_t i = 0; i < targets.size(); ++i) PutBytes(bytes.data() + 56 + 16 * i, targets[i]);
        return bytes;
    }

    void Deliver(const std::vector<uint8_t>& bytes, uint32_t ip, uint16_t port) {
        service_->HandleDatagram(bytes.data(), bytes.size(), ip, port, nowMs_);
    }

    std::unique_ptr<RendezvousService> service_;
    std::vector<Sent> sent_;
    int64_t nowMs_ = 1'000'000;
    const NodeKey keyA_{0xA1, 0xA2, 3, 4, 5, 6, 7, 8};
    const NodeKey keyB_{0xB1, 0xB2, 3, 4, 5, 6, 7, 8};
    const uint32_t ipA_ = Ip("203.0.113.10");
    const uint32_t ipB_ = Ip("198.51.100.20");
};

TEST_F(RendezvousServiceTest, RegisteredLookupGetsTheAnswerAndTheTargetAnIntroduction) {
    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].bytes.size(), kAddressReportSize);
    EXPECT_EQ(GetIp(sent_[0].bytes.data()), ipA_);
    EXPECT_EQ(GetU32(sent_[0].bytes.data() + 4), 40001u);
    Deliver(Register(keyB_, Ip("192.168.2.20"), 6882), ipB_, 50002);
    sent_.clear();

    Deliver(Lookup(keyB_, {keyA_, AddressKey(ipA_, 6881)}), ipB_, 50002);
    ASSERT_EQ(sent_.size(), 2u);  // the reply, one introduction for both entries naming A
    const std::vector<uint8_t>& reply = sent_[0].bytes;
    EXPECT_EQ(GetU32(reply.data() + 12), kLookupReplyType);
    EXPECT_EQ(GetI32(reply.data() + 28), 77);
    ASSERT_EQ(GetU32(reply.data() + 44), 3u);  // answer by key, then an echo and its answer
    EXPECT_EQ(GetIp(reply.data() + 48), ipA_);
    EXPECT_EQ(GetU32(reply.data() + 52), 40001u);
    EXPECT_EQ(GetU32(reply.data() + 68), kEchoPort);
    EXPECT_EQ(GetBytes<8>(reply.data() + 88), keyA_);
    const Sent& introduction = sent_[1];
    EXPECT_EQ(introduction.ip, ipA_);
    EXPECT_EQ(introduction.port, 40001);
    EXPECT_EQ(GetU32(introduction.bytes.data()), kIntroduceTag);
    EXPECT_EQ(GetIp(introduction.bytes.data() + 20), ipB_);
    EXPECT_EQ(GetU32(introduction.bytes.data() + 24), 50002u);
}

TEST_F(RendezvousServiceTest, UnregisteredSourceNeverGetsMoreThanItSentAndNoIntroductions) {
    for (int i = 0; i < 13; ++i) {
        NodeKey key = keyA_;
        key[7] = static_cast<uint8_t>(i);
        Deliver(Register(key, Ip("192.168.1.10"), static_cast<uint32_t>(7000 + i)), ipA_,
                static_cast<uint16_t>(7000 + i));
    }
    sent_.clear();
    std::vector<NodeKey> targets;
    for (int i = 0; i < 13; ++i) targets.push_back(AddressKey(ipA_, static_cast<uint16_t>(7000 + i)));
    const std::vector<uint8_t> lookup = Lookup(keyB_, targets);
    Deliver(lookup, Ip("192.0.2.200"), 999);
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_LE(sent_[0].bytes.size(), lookup.size());
}

// A node registering from an endpoint another node held replaces it; the old
// node's key was read after its index entry was freed (found by fuzzing).
TEST_F(RendezvousServiceTest, ANodeTakingAnotherNodesEndpointReplacesIt) {
    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    Deliver(Register(keyB_, Ip("192.168.1.11"), 6882), ipA_, 40001);
    EXPECT_EQ(service_->Registrations(), 1u);
    sent_.clear();
    Deliver(Lookup(keyB_, {keyA_}), ipA_, 40001);
    ASSERT_EQ(sent_.size(), 1u) << "a look-up of the replaced node is answered, without an introduction";
}

TEST_F(RendezvousServiceTest, SameRouterPeersGetEachOthersLocalAddress) {
    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    Deliver(Register(keyB_, Ip("192.168.1.11"), 6882), ipA_, 40002);
    sent_.clear();
    Deliver(Lookup(keyB_, {keyA_}), ipA_, 40002);
    const std::vector<uint8_t>& reply = sent_.at(0).bytes;
    EXPECT_EQ(GetIp(reply.data() + 48), Ip("192.168.1.10"));
    EXPECT_EQ(GetU32(reply.data() + 52), 6881u);
}

TEST_F(RendezvousServiceTest, EachSourceIsRateLimited) {
    const std::vector<uint8_t> keepAlive(kKeepAliveSize, 0);
    for (int i = 0; i < 200; ++i) Deliver(keepAlive, ipA_, 1);
    EXPECT_EQ(sent_.size(), 60u);  // the burst
    EXPECT_EQ(service_->Counters().rateLimited, 140u);
    Deliver(keepAlive, ipB_, 1);  // another source is not held back
    EXPECT_EQ(sent_.size(), 61u);
    nowMs_ += 1000;
    for (int i = 0; i < 200; ++i) Deliver(keepAlive, ipA_, 1);
    EXPECT_EQ(sent_.size(), 81u);  // 20 a second
}

TEST_F(RendezvousServiceTest, TablesAreBoundedAndExpire) {
    RendezvousLimits limits;
    limits.maxRegistrations = 3;
    limits.maxSources = 4;
    Make(limits);
    for (int i = 0; i < 6; ++i) {
        NodeKey key = keyA_;
        key[7] = static_cast<uint8_t>(i);
        Deliver(Register(key, 0, 6881), ipA_ + static_cast<uint32_t>(i << 24), 5000);
    }
    EXPECT_EQ(service_->Registrations(), 3u);
    EXPECT_EQ(service_->Sources(), 4u);
    EXPECT_EQ(sent_.size(), 4u);  // new sources beyond the table are not answered

    nowMs_ += limits.registrationLifetimeMs + 1;
    service_->Expire(nowMs_);
    EXPECT_EQ(service_->Registrations(), 0u);
    EXPECT_EQ(service_->Sources(), 0u);
}

TEST_F(RendezvousServiceTest, MalformedDatagramsAreDropped) {
    std::vector<uint8_t> lookup = Lookup(keyB_, {keyA_});
    PutU32(lookup.data() + 44, 2);  // more entries than the datagram holds
    Deliver(lookup, ipB_, 1);
    std::vector<uint8_t> shortRegister = Register(keyA_, 0, 1);
    shortRegister.pop_back();
    Deliver(shortRegister, ipA_, 1);
    std::vector<uint8_t> byAddress = Register(keyA_, 0, 1);
    byAddress[16] = byAddress[17] = 0;  // an address identity cannot register
    Deliver(byAddress, ipA_, 1);
    Deliver({1, 2, 3}, ipA_, 1);
    EXPECT_TRUE(sent_.empty());
    EXPECT_EQ(service_->Counters().malformed, 4u);
}

}  // namespace
}  // namespace veldmoor::udp::testing
