#include <gtest/gtest.h>

#include "engine/CandidateList.h"
#include "peers/SourceAddress.h"
#include "peers/TrackerProtocol.h"
#include "tests/engine/peerset/PeerSetTestSupport.h"

namespace veldmoor::test {
namespace {

struct Facts {
    int32_t priority = 1;
    int32_t successes = 0;
    int32_t failures = 0;
    int32_t attempts = 0;
    int32_t backoff = 0;
};

CandidatePtr Candidate(const Facts& facts) {
    CandidatePtr candidate(new TPeerId);
    candidate->priority = facts.priority;
    candidate->successes = facts.successes;
    candidate->failures = facts.failures;
    candidate->attempts = facts.attempts;
    candidate->backoff = facts.backoff;
    return candidate;
}

TEST(CandidateOrderTest, EachRuleDecidesOnlyWhenTheRulesBeforeItTie) {
    struct Case {
        const char* name;
        Facts first;
        Facts second;
    };
    const Case cases[] = {
        {"higher priority", {29, 0, 9, 9, 9}, {28, 9, 0, 0, 0}},
        {"more successes", {29, 5, 9, 9, 9}, {29, 4, 0, 0, 0}},
        {"fewer failures", {29, 5, 1, 9, 9}, {29, 5, 2, 0, 0}},
        {"fewer attempts", {29, 5, 1, 3, 9}, {29, 5, 1, 4, 0}},
        {"smaller backoff", {29, 5, 1, 3, 0}, {29, 5, 1, 3, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(CandidateBefore(*Candidate(c.first), *Candidate(c.second)));
        EXPECT_FALSE(CandidateBefore(*Candidate(c.second), *Candidate(c.first)));
    }
    EXPECT_FALSE(CandidateBefore(*Candidate({29, 1, 1, 1, 1}), *Candidate({29, 1, 1, 1, 1}))) << "equal facts tie";
}

TEST(CandidateIdentityTest, AnAddressOnlyIdentityIsFourteenZerosTheAddressAndThePortInNetworkOrder) {
    const PeerIdentity identity = AddressOnlyIdentity({Ipv4Address::FromOctets(10, 1, 2, 3), 6881});
    const PeerIdentity expected{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 1, 2, 3, 0x1A, 0xE1};
    EXPECT_EQ(identity, expected);
}

class CandidateListTest : public ::testing::Test {
protected:
    static CandidatePtr Http(const std::string& url, const std::string& host, const IpAddress& ip, int32_t port = 80) {
        CandidatePtr candidate(new TPeerId(url, kPeerHttp));
        candidate->Details().host = host;
        candidate->ip = ip;
        candidate->port = port;
        candidate->resolved = true;
        candidate->priority = 29;
        return candidate;
    }
    static CandidatePtr BitTorrent(const IpAddress& ip, int32_t port, uint8_t idByte = 0) {
        CandidatePtr candidate(new TPeerId({}, kPeerBitTorrent));
        candidate->ip = ip;
        candidate->port = port;
        candidate->resolved = true;
        if (idByte != 0) candidate->identity.fill(idByte);
        return candidate;
    }
    CandidateAddResult Add(const CandidatePtr& candidate, bool a = false, bool b = false) {
        return list_.Add(*candidate, a, b, context_);
    }

    CandidateList list_;
    CandidateAddContext context_;
};

TEST_F(CandidateListTest, TheJobsOwnAddressesAreRefused) {
    context_.ownIp = Ip(192, 0, 2, 7);
    context_.ownPort = 8080;
    context_.ownPeerId.fill(0x42);

    EXPECT_EQ(Add(BitTorrent(Ip(127, 0, 0, 1), 6881), false, false), CandidateAddResult::kRefused);
    EXPECT_EQ(Add(BitTorrent(Ip(192, 0, 2, 7), 8080), false, false), CandidateAddResult::kRefused);
    EXPECT_EQ(Add(Http("http://me/f", "me", Ip(192, 0, 2, 7), 8080), false, false),
              CandidateAddResult::kRefused);

    const CandidatePtr self = BitTorrent(Ip(10, 0, 0, 1), 6881, 0x42);
    EXPECT_EQ(Add(self, false, false), CandidateAddResult::kAdded)
        << "an HTTP task has no peer identity of its own to compare";
    CandidateList torrentList;
    context_.torrentTask = true;
    EXPECT_EQ(torrentList.Add(*self, false, false, context_), CandidateAddResult::kRefused);

    EXPECT_EQ(Add(Http("http://127.0.0.1/f", "127.0.0.1", Ip(127, 0, 0, 1)), false, false),
              CandidateAddResult::kAdded)
        << "only BitTorrent peers are refused on the loopback address";
}

TEST_F(CandidateListTest, DuplicatesAreRecognisedByAddressTextOrByAddressPortAndKind) {
    ASSERT_EQ(Add(Http("http://Mirror.example/f", "mirror.example", Ip(10, 0, 0, 1)), false, false),
              CandidateAddResult::kAdded);

    struct Case {
        const char* name;
        CandidatePtr candidate;
        CandidateAddResult expected;
    };
    Case cases[] = {
        {"same text in another case", Http("http://mirror.EXAMPLE/f", "mirror.example", Ip(10, 0, 0, 1)),
         CandidateAddResult::kDuplicate},
        {"same text, another resolved address", Http("http://mirror.example/f", "mirror.example", Ip(10, 0, 0, 2)),
         CandidateAddResult::kAdded},
        {"another name on the same server address", Http("http://other.example/f", "other.example", Ip(10, 0, 0, 1)),
         CandidateAddResult::kAdded},
        {"another path on the same named server", Http("http://mirror.example/g", "MIRROR.example", Ip(10, 0, 0, 1)),
         CandidateAddResult::kDuplicate},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Add(c.candidate, false, false), c.expected);
    }
    EXPECT_EQ(list_.size(), 3u);
}

TEST_F(CandidateListTest, AKnownPeerLearnsANewIdentityOnlyWhenAskedAndNotOverUdp) {
    ASSERT_EQ(Add(BitTorrent(Ip(10, 0, 0, 9), 6881, 0x11)), CandidateAddResult::kAdded);
    TPeerId* stored = list_.Items().front();

    EXPECT_EQ(Add(BitTorrent(Ip(10, 0, 0, 9), 6881, 0x22), false, false), CandidateAddResult::kDuplicate);
    EXPECT_EQ(stored->identity[0], 0x11) << "neither a nor b: the identity stays";
    Add(BitTorrent(Ip(10, 0, 0, 9), 6881, 0x33), true, false);
    EXPECT_EQ(stored->identity[0], 0x33);

    stored->identity[16] = 'U';
    stored->identity[17] = 'D';
    stored->identity[18] = 'P';
    Add(BitTorrent(Ip(10, 0, 0, 9), 6881, 0x44), true, false);
    EXPECT_EQ(stored->identity[0], 0x33) << "an identity learnt over UDP survives a";
    Add(BitTorrent(Ip(10, 0, 0, 9), 6881, 0x55), false, true);
    EXPECT_EQ(stored->identity[0], 0x55) << "b always copies";
}

TEST_F(CandidateListTest, AddedCopiesTakeTheKindsPriorityAndTheUdpMark) {
    CandidatePtr peer = BitTorrent(Ip(10, 0, 0, 3), 6881);
    peer->identity[16] = 'U';
    peer->identity[17] = 'D';
    peer->identity[18] = 'P';
    peer->identity[0] = 0x77;
    ASSERT_EQ(Add(peer), CandidateAddResult::kAdded);
    const TPeerId* stored = list_.Items().front();
    EXPECT_NE(stored, peer.get()) << "the list keeps a copy";
    EXPECT_EQ(stored->priority, CandidateList::kBitTorrentPriority);
    EXPECT_EQ(stored->identity[0], 0);
    EXPECT_EQ(stored->identity[1], 1);
    EXPECT_EQ(stored->identity[2], 'V');
    EXPECT_EQ(stored->identity[3], 'm');
    EXPECT_EQ(stored->openConnections, 0);
}

TEST_F(CandidateListTest, TheListStaysSortedAndBounded) {
    for (uint32_t i = 0; i < CandidateList::kCapacity; ++i) {
        ASSERT_EQ(Add(BitTorrent(Ip(10, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i & 0xFF)), 6881)),
                  CandidateAddResult::kAdded)
            << i;
    }
    EXPECT_EQ(Add(BitTorrent(Ip(10, 2, 0, 1), 6881), false, false), CandidateAddResult::kFull)
        << "an equal candidate does not push out a listed one";

    CandidatePtr better = Http("http://new.example/f", "new.example", Ip(10, 3, 0, 1));
    TPeerId* last = list_.Items().back();
    last->openConnections = 1;
    EXPECT_EQ(Add(better, false, false), CandidateAddResult::kFull)
        << "a candidate with an open connection is never pushed out";
    last->openConnections = 0;
    EXPECT_EQ(Add(better, false, false), CandidateAddResult::kAdded);
    EXPECT_EQ(list_.size(), CandidateList::kCapacity);
    EXPECT_EQ(list_.Items().front()->url, "http://new.example/f");
    EXPECT_TRUE(std::is_sorted(list_.Items().begin(), list_.Items().end(),
                               [](const TPeerId* a, const TPeerId* b) { return CandidateBefore(*a, *b); }));
}

TEST_F(CandidateListTest, APeerThatFailedMovesBehindItsEquals) {
    for (uint8_t i = 1; i <= 3; ++i) Add(BitTorrent(Ip(10, 0, 0, i), 6881), false, false);
    TPeerId* first = list_.Items().front();
    list_.MoveToEnd(first);
    EXPECT_EQ(list_.Items().back(), first);
}

// ---------------------------------------------------------------------------
// Feeding the task's sources

class FeedSourcesTest : public PeerSetTest {
protected:
    void Feed(const std::string& lines, uint32_t flags = kTaskTargetIsFile) {
        TaskDescriptor descriptor;
        sourceList_ = lines;
        descriptor.sourceList = sourceList_.c_str();
        descriptor.flags = flags;
        job_->Record().FillFromSpec(TaskSpecFromDescriptor(descriptor));
        job_->FeedSources();
    }
    std::vector<std::string> Urls() const {
        std::vector<std::string> urls;
        for (const TPeerId* candidate : job_->Candidates()) urls.push_back(candidate->url);
        return urls;
    }
    std::string sourceList_;
};

TEST_F(FeedSourcesTest, TwoNamesOfOneServerStayTwoCandidatesAndANameWithThreeAddressesGivesThree) {
    names_.Add("a.example", {Ip(10, 0, 0, 5)});
    names_.Add("b.example", {Ip(10, 0, 0, 5)});
    names_.Add("c.example", {Ip(10, 0, 1, 1), Ip(10, 0, 1, 2), Ip(10, 0, 1, 3)});
    Feed("http://a.example/game.exe\nhttp://b.example/game.exe\nhttp://c.example/game.exe");

    ASSERT_EQ(job_->CandidateCount(), 5u);
    std::vector<IpAddress> addressesOfC;
    for (const TPeerId* candidate : job_->Candidates()) {
        EXPECT_EQ(candidate->priority, TWorkWithPeers::kSourceListPriority);
        EXPECT_EQ(candidate->kind, kPeerHttp);
        if (candidate->url == "http://c.example/game.exe") addressesOfC.push_back(*candidate->ip);
    }
    std::sort(addressesOfC.begin(), addressesOfC.end());
    std::vector<IpAddress> expected{Ip(10, 0, 1, 1), Ip(10, 0, 1, 2), Ip(10, 0, 1, 3)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(addressesOfC, expected);
    for (const SourceLine& line : job_->Record().SourceLines()) EXPECT_EQ(line.state, kLineInUse);

    job_->FeedSources();
    EXPECT_EQ(job_->CandidateCount(), 5u) << "lines in use are not fed again, copies are not made twice";
}

// The listed candidate connects over IPv6 racing the first IPv4 address; the
// further IPv4 address becomes a copy of its own.
TEST_F(FeedSourcesTest, ANameWithBothFamiliesKeepsItsRacePartnerInTheList) {
    const IpAddress v6 = *IpAddress::Parse("2001:db8::5");
    names_.Add("dual.example", {Ip(10, 0, 2, 1), Ip(10, 0, 2, 2), v6});
    Feed("http://dual.example/game.exe");

    ASSERT_EQ(job_->CandidateCount(), 2u);
    std::vector<std::vector<IpAddress>> raced;
    for (const TPeerId* candidate : job_->Candidates()) raced.push_back(ConnectAddresses(*candidate));
    std::sort(raced.begin(), raced.end());
    EXPECT_EQ(raced, (std::vector<std::vector<IpAddress>>{{Ip(10, 0, 2, 2)}, {v6, Ip(10, 0, 2, 1)}}));
}

TEST_F(FeedSourcesTest, AHostThatCannotBeResolvedSets20216AndPublishes) {
    names_.Add("good.example", {Ip(10, 0, 0, 5)});
    Feed("http://good.example/f\nhttp://missing.example/f");
    EXPECT_EQ(job_->CandidateCount(), 1u);
    EXPECT_EQ(job_->Working().statusCode, kStatusHostUnresolved);
    EXPECT_GE(job_->publishes, 1);
    EXPECT_EQ(job_->Record().Published().statusCode, kStatusHostUnresolved);
    EXPECT_EQ(job_->Record().SourceLines()[1].state, kLineUnused) << "the line is tried again at the next feeding";
}

TEST_F(FeedSourcesTest, TheTorrentLineBecomesATorrentFetch) {
    names_.Add("t.example", {Ip(10, 0, 0, 8)});
    Feed("http://t.example/game.torrent", kTaskTargetIsFile | kTaskBitTorrent);
    ASSERT_EQ(job_->CandidateCount(), 1u);
    EXPECT_TRUE(job_->Candidates().front()->details->torrentFetch);
    EXPECT_EQ(job_->Record().SourceLines()[0].state, kLineTorrentInUse);
}

TEST_F(FeedSourcesTest, RevalidationDropsCandidatesWhoseAddressNoLongerParses) {
    names_.Add("a.example", {Ip(10, 0, 0, 5)});
    Feed("http://a.example/f\nhttp://10.0.0.6/g");
    ASSERT_EQ(job_->CandidateCount(), 2u);
    job_->AddPeerAddress(Ip(10, 9, 9, 9), 6881, kPeerBitTorrent, false, 19);
    job_->Candidates().front()->url = "gopher://nowhere";
    job_->RevalidateCandidates();
    EXPECT_EQ(job_->CandidateCount(), 2u) << "a peer learnt without an address text stays";
    for (const std::string& url : Urls()) EXPECT_NE(url, "gopher://nowhere");
}

TEST_F(FeedSourcesTest, AddPeerAddressFindsOrMakesTheCandidateAndPlacesItByKind) {
    names_.Add("a.example", {Ip(10, 0, 0, 5)});
    Feed("http://a.example/f");

    TPeerId* peer = job_->AddPeerAddress(Ip(10, 0, 0, 9), 6881, kPeerBitTorrent, false, 3);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->priority, 19) << "BitTorrent peers rank at least 19";
    EXPECT_TRUE(peer->resolved);
    EXPECT_EQ(peer->identity, AddressOnlyIdentity({Ip(10, 0, 0, 9), 6881}));
    EXPECT_EQ(job_->Candidates().back(), peer);

    peer->identity.fill(0x5A);
    EXPECT_EQ(job_->AddPeerAddress(Ip(10, 0, 0, 9), 6881, kPeerBitTorrent, true, 30), peer);
    EXPECT_EQ(peer->priority, 30);
    EXPECT_EQ(peer->identity[0], 0x5A) << "a known peer keeps its identity";
    EXPECT_EQ(job_->Candidates().front(), peer);

    TPeerId* server = job_->AddPeerAddress(Ip(10, 0, 0, 10), 80, kPeerHttp, false, 29);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(job_->CandidateCount(), 3u);
    EXPECT_LT(std::find(job_->Candidates().begin(), job_->Candidates().end(), server) - job_->Candidates().begin(), 2)
        << "a server goes to the front of its equals";
}

}  // namespace
}  // namespace veldmoor::test
