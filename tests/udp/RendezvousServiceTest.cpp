#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

    void KeepAlive(uint32_t ip, uint16_t port) { Deliver(std::vector<uint8_t>(kKeepAliveSize, 0), ip, port); }

    static NodeKey Key(uint32_t number) {
        NodeKey key{0xC0, 0xC1, 0, 0, 0, 0, 0, 0};
        PutU32(key.data() + 4, number);
        return key;
    }

    size_t SentTo(uint32_t ip, uint16_t port) const {
        return static_cast<size_t>(
            std::count_if(sent_.begin(), sent_.end(), [&](const Sent& s) { return s.ip == ip && s.port == port; }));
    }

    // The look-up reply's answers (echoes left out) to a look-up just made.
    struct Answer {
        uint32_t ip;
        uint32_t port;
        NodeKey key;
        bool operator==(const Answer&) const = default;
    };
    std::vector<Answer> Answers() const {
        std::vector<Answer> answers;
        const std::vector<uint8_t>& reply = sent_.at(0).bytes;
        for (uint32_t i = 0; i < GetU32(reply.data() + 44); ++i) {
            const uint8_t* entry = reply.data() + kLookupHeaderSize + kLookupEntrySize * i;
            if (GetU32(entry + 4) == kEchoPort) continue;
            answers.push_back({GetIp(entry), GetU32(entry + 4), GetBytes<8>(entry + 8)});
        }
        return answers;
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
    for (int i = 0; i < 200; ++i) KeepAlive(ipA_, 1);
    EXPECT_EQ(service_->Counters().unregisteredKeepAlives, 60u);  // the burst
    EXPECT_EQ(service_->Counters().rateLimited, 140u);
    KeepAlive(ipB_, 1);  // another source is not held back
    EXPECT_EQ(service_->Counters().unregisteredKeepAlives, 61u);
    nowMs_ += 1000;
    for (int i = 0; i < 200; ++i) KeepAlive(ipA_, 1);
    EXPECT_EQ(service_->Counters().unregisteredKeepAlives, 81u);  // 20 a second
    EXPECT_TRUE(sent_.empty()) << "a keep-alive from an endpoint that holds no registration is not answered";
}

TEST_F(RendezvousServiceTest, TablesAreBoundedAndExpire) {
    RendezvousLimits limits;
    limits.maxRegistrations = 3;
    limits.maxSources = 4;
    Make(limits);
    for (uint32_t i = 0; i < 6; ++i) Deliver(Register(Key(i), 0, 6881), ipA_ + (i << 24), 5000);
    EXPECT_EQ(service_->Registrations(), 3u);
    EXPECT_EQ(service_->Sources(), 4u);  // the sources seen longest ago gave way
    EXPECT_EQ(sent_.size(), 3u);
    EXPECT_EQ(service_->Counters().tableFull, 3u);

    nowMs_ += limits.registrationLifetimeMs + 1;
    service_->Expire(nowMs_);
    EXPECT_EQ(service_->Registrations(), 0u);
    EXPECT_EQ(service_->Sources(), 0u);
}

// Knowing a node's key (it travels in every look-up and peer handshake) must
// not let anyone else take the node's place while it keeps alive.
TEST_F(RendezvousServiceTest, ALiveRegistrationIsNotTakenOverFromAnotherEndpoint) {
    const uint32_t attacker = Ip("192.0.2.66");
    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    Deliver(Register(keyB_, Ip("192.168.2.20"), 6882), ipB_, 50002);
    for (int turn = 0; turn < 24; ++turn) {  // ten minutes
        nowMs_ += 25'000;
        KeepAlive(ipA_, 40001);
        Deliver(Register(keyA_, Ip("10.9.9.9"), 6666), attacker, 6666);
        sent_.clear();
        Deliver(Lookup(keyB_, {keyA_}), ipB_, 50002);
        ASSERT_EQ(Answers(), (std::vector<Answer>{{ipA_, 40001, keyA_}})) << "turn " << turn;
        ASSERT_EQ(SentTo(ipA_, 40001), 1u) << "the introduction goes to the node itself";
        ASSERT_EQ(SentTo(attacker, 6666), 0u);
    }
    EXPECT_EQ(service_->Counters().takeoversRefused, 24u);
}

// A router may give a node a new public port; its old endpoint then goes
// quiet and, after the stated time, the node's REGISTER from the new one wins.
TEST_F(RendezvousServiceTest, ANodeMovedByItsRouterGetsItsKeyBackOnceTheOldEndpointIsQuiet) {
    const RendezvousLimits limits;
    const struct {
        const char* name;
        uint32_t localIp;
        int64_t quietMs;
    } cases[] = {
        {"behind NAT", Ip("192.168.1.10"), limits.takeoverAfterMs},
        {"not behind NAT: registers only every 300 s", ipA_, limits.takeoverAfterDirectMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Make(limits);
        Deliver(Register(keyA_, c.localIp, 6881), ipA_, 40001);
        Deliver(Register(keyB_, Ip("192.168.2.20"), 6882), ipB_, 50002);
        nowMs_ += c.quietMs;
        sent_.clear();
        Deliver(Register(keyA_, c.localIp, 6881), ipA_, 40777);
        EXPECT_TRUE(sent_.empty()) << "refused without an address report, so the client asks again";
        nowMs_ += 1;
        Deliver(Register(keyA_, c.localIp, 6881), ipA_, 40777);
        ASSERT_EQ(SentTo(ipA_, 40777), 1u);
        sent_.clear();
        Deliver(Lookup(keyB_, {keyA_}), ipB_, 50002);
        EXPECT_EQ(Answers(), (std::vector<Answer>{{ipA_, 40777, keyA_}}));
        EXPECT_EQ(SentTo(ipA_, 40777), 1u);
        sent_.clear();
        KeepAlive(ipA_, 40001);
        EXPECT_TRUE(sent_.empty()) << "the old endpoint holds nothing any more";
    }
}

// Behind a carrier-grade NAT many nodes share one public address. The local
// port a node names is only its word: it must not win a look-up for another
// node's public endpoint, nor for a local port someone else also claims.
TEST_F(RendezvousServiceTest, AClaimedLocalPortCannotRedirectALookUpByAddress) {
    const uint32_t shared = Ip("100.64.0.1");
    const NodeKey keyM = Key(1);
    Deliver(Register(keyA_, Ip("10.0.0.2"), 8000), shared, 6000);
    Deliver(Register(keyB_, Ip("192.168.2.20"), 6882), ipB_, 50002);
    Deliver(Register(keyM, Ip("10.0.0.3"), 6000), shared, 5000);  // names A's public port
    sent_.clear();
    Deliver(Lookup(keyB_, {AddressKey(shared, 6000)}), ipB_, 50002);
    EXPECT_EQ(Answers(), (std::vector<Answer>{{shared, 6000, keyA_}}));
    EXPECT_EQ(SentTo(shared, 6000), 1u);
    EXPECT_EQ(SentTo(shared, 5000), 0u);

    sent_.clear();
    Deliver(Lookup(keyB_, {AddressKey(shared, 8000)}), ipB_, 50002);
    EXPECT_EQ(Answers(), (std::vector<Answer>{{shared, 6000, keyA_}})) << "A alone claims local port 8000";

    Deliver(Register(Key(2), Ip("10.0.0.4"), 8000), shared, 5001);  // and now names A's local port
    sent_.clear();
    Deliver(Lookup(keyB_, {AddressKey(shared, 8000)}), ipB_, 50002);
    EXPECT_TRUE(Answers().empty()) << "two claimants: nobody is named rather than perhaps the wrong one";
    EXPECT_EQ(sent_.size(), 1u) << "and nobody is introduced";
}

// A full table used to send the new node its address report as if it had
// been stored; it must refuse in a way the client sees, and a registration
// that nobody keeps alive must give way to a node that wants to be found.
TEST_F(RendezvousServiceTest, AFullTableRefusesWithoutAnAddressReport) {
    RendezvousLimits limits;
    limits.maxRegistrations = 4;
    Make(limits);
    Deliver(Register(keyB_, Ip("192.168.2.20"), 6882), ipB_, 50002);  // kept alive below
    for (uint32_t i = 0; i < 3; ++i) Deliver(Register(Key(i), Ip("10.0.0.1"), 7000), Ip("192.0.2.1") + (i << 24), 7000);
    sent_.clear();

    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    EXPECT_TRUE(sent_.empty()) << "no address report for a registration that was not stored";
    EXPECT_EQ(service_->Counters().tableFull, 1u);
    KeepAlive(ipA_, 40001);
    EXPECT_TRUE(sent_.empty());

    for (int64_t waited = 0; waited <= limits.takeoverAfterMs; waited += 25'000) {
        nowMs_ += 25'000;
        KeepAlive(ipB_, 50002);
    }
    sent_.clear();
    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    ASSERT_EQ(SentTo(ipA_, 40001), 1u) << "a node nobody keeps alive gave way";
    EXPECT_EQ(service_->Registrations(), 4u);
    sent_.clear();
    Deliver(Lookup(keyB_, {keyA_, Key(1)}), ipB_, 50002);
    EXPECT_EQ(Answers(), (std::vector<Answer>{{ipA_, 40001, keyA_}, {Ip("192.0.2.1") + (1u << 24), 7000, Key(1)}}));
}

// A flood is bounded by the limits, whatever its source addresses, and a
// registered node keeps being answered through it: each keep-alive it sends
// gets its report.
TEST_F(RendezvousServiceTest, RegisteredNodesKeepBeingAnsweredThroughAFlood) {
    const RendezvousLimits limits;
    const struct {
        const char* name;
        std::function<uint32_t(uint32_t)> source;
    } floods[] = {
        {"from a new address each time", [](uint32_t i) { return Ip("11.0.0.0") + __builtin_bswap32(i + 1); }},
        {"from the node's own address", [this](uint32_t) { return ipA_; }},
    };
    for (const auto& flood : floods) {
        SCOPED_TRACE(flood.name);
        Make(limits);
        Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
        sent_.clear();
        constexpr uint32_t kDatagrams = 40'000;  // over 2 s: 20,000 a second
        size_t keepAlives = 0;
        for (uint32_t i = 0; i < kDatagrams; ++i) {
            if (i % 20 == 0) nowMs_ += 1;
            Deliver(Register(Key(i), Ip("10.0.0.1"), 7000), flood.source(i), static_cast<uint16_t>(1024 + i % 30000));
            if (i % 4000 == 0) {
                KeepAlive(ipA_, 40001);
                ++keepAlives;
            }
        }
        EXPECT_EQ(SentTo(ipA_, 40001), keepAlives);
        const double seconds = kDatagrams / 20 / 1000.0;
        EXPECT_LE(service_->Registrations(), 1 + limits.globalBurst + limits.globalDatagramsPerSecond * seconds);
    }
}

// A registered endpoint has a limit of its own; registering a new key from it
// (as a restarted program does) must not give it a fresh one.
TEST_F(RendezvousServiceTest, ARegisteredEndpointIsHeldToItsOwnRateWhateverKeysItNames) {
    const RendezvousLimits limits;
    Deliver(Register(keyA_, Ip("192.168.1.10"), 6881), ipA_, 40001);
    sent_.clear();
    for (uint32_t i = 0; i < 200; ++i) Deliver(Register(Key(i), Ip("192.168.1.10"), 6881), ipA_, 40001);
    EXPECT_EQ(sent_.size(), static_cast<size_t>(limits.memberBurst));
    EXPECT_EQ(service_->Registrations(), 1u);
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
