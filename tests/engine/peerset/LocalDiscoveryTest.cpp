#include <gtest/gtest.h>

#include <deque>

#include "engine/LocalDiscovery.h"
#include "peers/LocalEndpoint.h"
#include "platform/UdpSocket.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"

namespace veldmoor::test {
namespace {

TEST(AnnouncementTest, FiftySixBytesWithThePortAndTheKindInNetworkOrder) {
    Announcement announcement;
    announcement.address = Ipv4Address::FromOctets(192, 0, 2, 9);
    announcement.port = 6881;
    announcement.reply = true;
    announcement.infoHash = HashOf(0xAB);
    announcement.peerId.fill(0xCD);
    const auto bytes = EncodeAnnouncement(announcement);

    const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 16);
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 0, 0, 0, 192, 0, 2, 9, 0x1A, 0xE1, 0, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(std::all_of(bytes.begin() + 16, bytes.begin() + 36, [](uint8_t b) { return b == 0xAB; }));
    EXPECT_TRUE(std::all_of(bytes.begin() + 36, bytes.end(), [](uint8_t b) { return b == 0xCD; }));

    const std::optional<Announcement> decoded = DecodeAnnouncement(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->address, announcement.address);
    EXPECT_EQ(decoded->port, 6881);
    EXPECT_TRUE(decoded->reply);
    EXPECT_EQ(decoded->infoHash, announcement.infoHash);
    EXPECT_EQ(decoded->peerId, announcement.peerId);
}

TEST(AnnouncementTest, ShortOrForeignDatagramsAreNotAnnouncements) {
    Announcement announcement;
    announcement.infoHash = HashOf(0x10);
    const auto bytes = EncodeAnnouncement(announcement);
    for (size_t size = 0; size < kAnnouncementBytes; ++size) {
        // Exactly `size` bytes on the heap: reading beyond them would be caught.
        const std::vector<uint8_t> shortDatagram(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(DecodeAnnouncement(shortDatagram.data(), shortDatagram.size())) << size;
    }
    for (size_t byte = 0; byte < 4; ++byte) {
        std::vector<uint8_t> foreign(bytes.begin(), bytes.end());
        foreign[byte] = 1;
        EXPECT_FALSE(DecodeAnnouncement(foreign.data(), foreign.size())) << byte;
    }
    std::vector<uint8_t> longer(bytes.begin(), bytes.end());
    longer.push_back(0xFF);
    EXPECT_TRUE(DecodeAnnouncement(longer.data(), longer.size()));
}

TEST(DatagramSocketTest, DatagramsArriveWithTheirSenderAndNeverOverfillTheBuffer) {
    const int handle = platform::OpenDatagramSocket(0);
    ASSERT_GE(handle, 0);
    Endpoint local;
    ASSERT_EQ(platform::LocalEndpointOf(handle, &local), 0);
    uint8_t buffer[3] = {};
    Endpoint from;
    const long nothing = platform::ReceiveDatagram(handle, buffer, sizeof buffer, &from);
    EXPECT_TRUE(nothing < 0 && platform::IsWouldBlock(static_cast<int>(nothing)));

    const std::string hello = "hello";
    ASSERT_EQ(platform::SendDatagram(handle, hello.data(), hello.size(), {Ip(127, 0, 0, 1), local.port}), 5);
    long received = -1;
    ASSERT_TRUE(WaitUntil([&] {
        received = platform::ReceiveDatagram(handle, buffer, sizeof buffer, &from);
        return received >= 0;
    }));
    EXPECT_EQ(received, 3) << "a longer datagram is cut to the buffer";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "hel");
    EXPECT_EQ(from.address, Ip(127, 0, 0, 1));
    EXPECT_EQ(from.port, local.port);
    platform::CloseSocket(handle);
}

// The group as the tests see it: what jobs sent, and what they will read.
struct FakeGroup {
    std::vector<Announcement> sent;
    std::deque<ReceivedDatagram> inbox;
    bool sendFails = false;
    int opened = 0;
};

class FakeChannel final : public IAnnouncementChannel {
public:
    explicit FakeChannel(std::shared_ptr<FakeGroup> group) : group_(std::move(group)) {}
    bool SendToGroup(const uint8_t* data, size_t size) override {
        if (group_->sendFails) return false;
        group_->sent.push_back(*DecodeAnnouncement(data, size));
        return true;
    }
    Received Receive(ReceivedDatagram& datagram) override {
        if (group_->inbox.empty()) return Received::kNothing;
        datagram = std::move(group_->inbox.front());
        group_->inbox.pop_front();
        return Received::kDatagram;
    }

private:
    std::shared_ptr<FakeGroup> group_;
};

class LocalDiscoveryTest : public PeerSetTest {
protected:
    void SetUp() override {
        PeerSetTest::SetUp();
        {
            ScopedLock guard(EngineJobListLock());
            TheEngine().localAnnouncements.SetChannelOpener([group = group_] {
                ++group->opened;
                return std::make_unique<FakeChannel>(group);
            });
        }
        TurnPeerToPeer(true);
        ownId_.fill(0x01);
        Ready(*job_, hash_, ownId_);
        job_->ExchangeLocalAnnouncements();  // the first exchange only asks
    }
    static void Ready(PeerSetJob& job, const InfoHash& hash, const PeerIdentity& id) {
        job.pieceMapReady = true;
        job.SetTorrentIdentity(hash, id);
    }
    static PeerIdentity Id(uint16_t number) {
        PeerIdentity id;
        id.fill(0xEE);
        id[0] = static_cast<uint8_t>(number >> 8);
        id[1] = static_cast<uint8_t>(number & 0xFF);
        return id;
    }
    void Deliver(const IpAddress& sender, const InfoHash& hash, uint16_t id, bool reply, uint16_t port = 7000) {
        Announcement announcement;
        announcement.address = *sender.V4();
        announcement.port = port;
        announcement.reply = reply;
        announcement.infoHash = hash;
        announcement.peerId = Id(id);
        const auto bytes = EncodeAnnouncement(announcement);
        group_->inbox.push_back({sender, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
    std::vector<KeptAnnouncement>& Kept() { return TheEngine().localAnnouncements.Kept(); }

    std::shared_ptr<FakeGroup> group_ = std::make_shared<FakeGroup>();
    InfoHash hash_ = HashOf(0xA5);
    PeerIdentity ownId_{};
};

TEST_F(LocalDiscoveryTest, TheFirstExchangeAsksTheGroupTwice) {
    ASSERT_EQ(group_->sent.size(), 2u);
    for (const Announcement& query : group_->sent) {
        EXPECT_FALSE(query.reply);
        EXPECT_EQ(query.infoHash, hash_);
        EXPECT_EQ(query.peerId, ownId_);
    }
}

TEST_F(LocalDiscoveryTest, APeerOfTheSameDownloadBecomesAPreferredCandidateAndIsAnswered) {
    const IpAddress own = GetLocalAddress(-1).value_or(Ipv4Address::FromOctets(255, 255, 255, 255));
    Deliver(own, hash_, 0x02, false);  // our own address: ignored
    group_->inbox.push_back({Ip(192, 0, 2, 40), std::vector<uint8_t>(55, 0)});
    Deliver(Ip(192, 0, 2, 50), hash_, 0x50, false);
    Deliver(Ip(192, 0, 2, 51), hash_, 0x51, true, 7001);
    job_->ExchangeLocalAnnouncements();

    ASSERT_EQ(job_->CandidateCount(), 2u);
    const TPeerId* asking = job_->Candidates()[0]->ip == Ip(192, 0, 2, 50) ? job_->Candidates()[0] : job_->Candidates()[1];
    EXPECT_EQ(asking->ip, Ip(192, 0, 2, 50));
    EXPECT_EQ(asking->port, 7000);
    EXPECT_EQ(asking->kind, kPeerBitTorrent);
    EXPECT_EQ(asking->priority, TWorkWithPeers::kLocalNetworkPriority);
    EXPECT_EQ(asking->identity, Id(0x50));
    for (const TPeerId* candidate : job_->Candidates()) EXPECT_NE(candidate->ip, own);

    ASSERT_EQ(group_->sent.size(), 3u) << "only the query is answered";
    EXPECT_TRUE(group_->sent.back().reply);
    EXPECT_EQ(job_->LocalList(), (std::vector<IpAddress>{Ip(192, 0, 2, 50), Ip(192, 0, 2, 51)}));
}

TEST_F(LocalDiscoveryTest, AnAnnouncementForAnotherJobIsKeptUntilThatJobTakesIt) {
    PeerSetJob other(TheEngine());
    Ready(other, HashOf(0xB6), PeerIdentity{});
    other.ExchangeLocalAnnouncements();  // asks

    Deliver(Ip(192, 0, 2, 60), HashOf(0xB6), 0x60, false);
    Deliver(Ip(192, 0, 2, 61), HashOf(0xC7), 0x61, true);
    job_->ExchangeLocalAnnouncements();
    EXPECT_EQ(job_->CandidateCount(), 0u);
    ASSERT_EQ(Kept().size(), 2u) << "kept for the jobs that have not seen them";

    other.ExchangeLocalAnnouncements();  // takes what the first job kept for it
    ASSERT_EQ(other.CandidateCount(), 1u);
    EXPECT_EQ(other.Candidates().front()->ip, Ip(192, 0, 2, 60));
    EXPECT_TRUE(group_->sent.back().reply) << "the kept query is answered too";
    EXPECT_EQ(group_->sent.back().infoHash, HashOf(0xB6));
    EXPECT_TRUE(Kept().empty()) << "the other one was seen by every job and is gone";
}

TEST_F(LocalDiscoveryTest, KeptAnnouncementsExpireAndStayBounded) {
    PeerSetJob other(TheEngine());  // never exchanges: nothing is seen by every job
    for (uint16_t i = 0; i < 300; ++i) Deliver(Ip(192, 0, 2, 70), HashOf(0xD8), i, false);
    job_->ExchangeLocalAnnouncements();
    EXPECT_EQ(Kept().size(), LocalAnnouncements::kCapacity);
    Deliver(Ip(192, 0, 2, 71), HashOf(0xD8), 3, false);  // an identity kept already
    job_->ExchangeLocalAnnouncements();
    EXPECT_EQ(Kept().size(), LocalAnnouncements::kCapacity);
    EXPECT_TRUE(group_->inbox.empty());

    Advance(30);
    job_->ExchangeLocalAnnouncements();
    EXPECT_EQ(Kept().size(), LocalAnnouncements::kCapacity);
    Advance(1);
    job_->ExchangeLocalAnnouncements();
    EXPECT_TRUE(Kept().empty()) << "older than 30 s";
}

TEST_F(LocalDiscoveryTest, ASendErrorClosesTheSocketAndALaterExchangeReopensIt) {
    group_->sendFails = true;
    Deliver(Ip(192, 0, 2, 80), hash_, 0x80, false);
    job_->ExchangeLocalAnnouncements();
    EXPECT_EQ(TheEngine().localAnnouncements.Channel(), nullptr);
    EXPECT_EQ(job_->CandidateCount(), 1u) << "what was read is kept";

    group_->sendFails = false;
    job_->ExchangeLocalAnnouncements();
    EXPECT_NE(TheEngine().localAnnouncements.Channel(), nullptr);
    EXPECT_EQ(group_->opened, 2);

    SetEngineSwitch(false);
    job_->ExchangeLocalAnnouncements();
    EXPECT_EQ(TheEngine().localAnnouncements.Channel(), nullptr) << "no announcements while the switch is off";
}

}  // namespace
}  // namespace veldmoor::test
