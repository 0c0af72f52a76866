// The BitTorrent peer against a remote side scripted by the test over
// loopback, with a job that has pieces to offer and, where the requests are
// the point, a piece map to download into: the wire exchange, not the
// download.
#include "peers/TBTPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "peers/BitTorrentWire.h"
#include "peers/IBitTorrentJob.h"
#include "peers/SourceAddress.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/PeerJobStub.h"
#include "tests/support/TestSupport.h"
#include "torrent/Bitfield.h"
#include "torrent/IPieceMapOwner.h"
#include "torrent/TPieces.h"

namespace veldmoor::test {
namespace {

constexpr uint32_t kPieceLength = 32768;
constexpr uint32_t kPieces = 10;
const InfoHash kInfoHash{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
const PeerIdentity kOwnId{0, 1, 'V', 'm', 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
const PeerIdentity kRemoteId{'-', 'R', 'M', '0', '0', '0', '1', '-', 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};

class FakeJob final : public PeerJobStubOf<IPeerJob>, public IBitTorrentJob {
public:
    bool PeerToPeerEnabled() const override { return true; }
    bool DownloadComplete() const override { return false; }
    void CountWaitingUpload() override {}
    void SourceFailed(TPeerId* /*candidate*/, bool /*retry*/, int32_t /*delay*/) override {}
    bool AddCandidate(TPeerId* /*candidate*/, bool /*a*/, bool /*b*/) override { return false; }
    void NoteRedirectResolution(bool /*unresolvable*/) override {}

    TPieces* ReadyPieceMap() const override { return map; }
    bool IsDownloading() const override { return map != nullptr; }
    bool IsPieceWanted(int32_t /*piece*/) override { return map != nullptr; }

    const Handshake& HandshakeTemplate() const override { return handshake; }
    PieceLayout TorrentLayout() const override { return layout; }
    const std::vector<uint8_t>& JobBitfield() const override { return bitfield; }
    bool WrapsHandshakes() const override { return false; }
    int32_t UploadBudget() const override { return 1 << 30; }
    void AddUploaded(int32_t /*bytes*/) override {}
    int32_t UploadSlotCount() const override { return 8; }
    bool ServesUploads() const override { return true; }
    bool IsPeerIdConnected(const PeerIdentity& /*peerId*/, const TPeerObject& /*asking*/) const override {
        return false;
    }
    TPeerId* CandidateForIncoming(const IpAddress& /*ip*/, int32_t /*port*/) override { return nullptr; }
    bool AddInFlight(int32_t /*piece*/) override { return true; }
    void RemoveInFlight(int32_t /*piece*/, bool /*discard*/) override {}
    void ForgetInFlight(int32_t /*piece*/) override {}
    int32_t RandomStart() const override { return 0; }
    // Hands out the next blocks in order, as many as the peer takes.
    bool TakeRequests(std::vector<BlockRequest>& list, const std::vector<uint8_t>& /*peerBitfield*/, int max,
                      const std::vector<uint8_t>& /*exclude*/) override {
        if (!map || !handsOutPool) return false;
        const auto blocks = static_cast<int32_t>(layout.totalSize / kBlockSize);
        bool took = false;
        while (static_cast<int>(list.size()) < max && nextBlock < blocks) {
            list.push_back({nextBlock++, static_cast<int32_t>(kBlockSize), 0});
            took = true;
        }
        return took;
    }
    const std::vector<BlockRequest>& OutstandingRequests() const override { return pool; }
    bool HasOutstandingRequest(int32_t /*block*/) const override { return false; }
    void AddOutstandingRequest(const BlockRequest& /*request*/) override {}
    bool WaitsForServerSources() override { return false; }
    bool HasSourceRanges() const override { return sourceRanges; }
    int32_t PeersHolding(int32_t piece) const override {
        return piece >= 0 && static_cast<size_t>(piece) < holders.size() ? holders[static_cast<size_t>(piece)] : 1;
    }
    bool CutFarEndRun(const std::function<bool(int32_t)>& /*qualifies*/, int32_t /*minimumPieces*/,
                      int32_t /*maximumPieces*/, PieceRun& /*run*/) override {
        return false;
    }
    int32_t FarEndPiece(const std::function<bool(int32_t)>& /*qualifies*/, int32_t /*peerRate*/) override {
        return -1;
    }

    PieceLayout layout{kPieceLength, uint64_t{kPieceLength} * kPieces};
    TPieces* map = nullptr;  // set: the job downloads into it and hands out its blocks
    int32_t nextBlock = 0;
    bool handsOutPool = true;
    bool sourceRanges = false;
    std::vector<int32_t> holders;  // connected peers holding each piece
    Handshake handshake = BuildHandshake(kInfoHash, kOwnId);
    // Pieces 0 and 2.
    std::vector<uint8_t> bitfield{0xA0, 0x00};
    std::vector<BlockRequest> pool;
};

// Enough of a job for a piece map to exist: nothing stops, nothing is reported.
class MapOwner final : public IPieceMapOwner {
public:
    explicit MapOwner(std::string target) : target_(std::move(target)) {}
    void OnPieceMapEvent(const PieceMapEvent& /*event*/) override {}
    bool IsStopping() const override { return false; }
    std::string PieceMapTargetFile() const override { return target_; }
    std::string PieceMapFolder() const override { return {}; }
    bool PreallocateFiles() const override { return false; }
    bool HasReadyPieceMap() const override { return true; }
    void SetRunState(int32_t /*runState*/) override {}
    void SetStatusCode(int32_t /*statusCode*/) override {}
    void RequestStop() override {}
    void OnPieceChecked(BlockSender* /*sender*/, bool /*matched*/) override {}
    void CountPieceDelivery(BlockSender* /*sender*/) override {}

private:
    std::string target_;
};

struct MapRelease {
    void operator()(TPieces* map) const { ReleaseRef(map); }
};

std::string Text(const auto& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string RemoteHandshake() { return Text(BuildHandshake(kInfoHash, kRemoteId)); }

std::string Have(uint32_t piece) { return Text(BuildHave(piece)); }

std::string Bitfield(std::vector<uint8_t> bits) { return Text(BuildBitfield(bits)); }

std::string Request(uint32_t piece, uint32_t begin, uint32_t length) {
    return Text(BuildRequest({piece, begin, length}));
}

// The request messages in what the peer sent after its handshake.
std::vector<BlockRef> RequestsIn(const std::string& sent) {
    std::vector<BlockRef> requests;
    for (size_t at = kHandshakeSize; at + 5 <= sent.size();) {
        const auto* message = reinterpret_cast<const uint8_t*>(sent.data() + at);
        const uint32_t length = LoadBigEndian32(message);
        if (length == 13 && message[4] == kMsgRequest && at + 17 <= sent.size())
            requests.push_back({LoadBigEndian32(message + 5), LoadBigEndian32(message + 9), LoadBigEndian32(message + 13)});
        at += 4 + length;
    }
    return requests;
}
size_t CountRequests(const std::string& sent) { return RequestsIn(sent).size(); }
std::string PieceFor(const BlockRef& request) {
    return Text(BuildPieceHeader(request.index, request.begin, request.length)) + std::string(request.length, 'v');
}

class TBTPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener_.Listen(0, Loopback()));
        candidate_.reset(new TPeerId({}, kPeerBitTorrent));
        candidate_->ip = Loopback();
        candidate_->port = listener_.LocalPort();
        candidate_->resolved = true;
    }

    // Steps the peer until `done` holds; false when a step failed first.
    bool StepUntil(const std::function<bool()>& done) {
        bool stepped = true;
        WaitUntil([&] {
            stepped = peer_->Tick();
            if (remote_) remote_->Receive(0);
            return !stepped || done();
        });
        return stepped && done();
    }

    // Steps the peer until a step fails, as the job then drops it.
    bool StepUntilDropped() {
        return WaitUntil([&] {
            if (remote_) remote_->Receive(0);
            return !peer_->Tick();
        });
    }

    // An outgoing connection through the handshake; the remote side then
    // holds what the peer sent.
    void Establish() {
        ASSERT_TRUE(peer_->Open(candidate_.get()));
        remote_ = AcceptOne(listener_);
        ASSERT_NE(remote_, nullptr);
        ASSERT_TRUE(SendAll(*remote_, RemoteHandshake()));
        ASSERT_TRUE(StepUntil([&] { return peer_->IsEstablished(); }));
    }

    // Sends `bytes` and steps the peer until it has parsed them all.
    bool Deliver(const std::string& bytes) {
        const uint64_t expected = peer_->Connection()->TotalReceived() + bytes.size();
        if (!SendAll(*remote_, bytes)) return false;
        return StepUntil([&] {
            const QSocket* connection = peer_->Connection();
            return connection->TotalReceived() >= expected && connection->InputSize() == 0;
        });
    }

    // A download of 640 blocks (40 pieces of 256 KiB), all of them handed out
    // at once, into a map on disk.
    struct LargeDownload {
        static constexpr uint32_t kPiece = 262144;
        static constexpr uint32_t kPieces = 40;
        TempDir dir;
        MapOwner owner{dir.File("download.bin")};
        std::unique_ptr<TPieces, MapRelease> map{new TPieces(&owner)};
    };
    // Starts `download` from a remote side that has every piece and unchokes.
    void StartFromSeed(LargeDownload& download) {
        job_.layout = {LargeDownload::kPiece, uint64_t{LargeDownload::kPiece} * LargeDownload::kPieces};
        ASSERT_TRUE(download.map->BuildWithoutHashes(static_cast<int64_t>(job_.layout.totalSize), LargeDownload::kPiece));
        job_.map = download.map.get();
        Establish();
        ASSERT_TRUE(Deliver(Bitfield(std::vector<uint8_t>(LargeDownload::kPieces / 8, 0xFF)) + Text(BuildUnchoke())));
    }

    QSocket listener_;
    FakeJob job_;
    std::unique_ptr<TPeerId, CandidateRelease> candidate_;
    std::unique_ptr<TBTPeer, PeerRelease> peer_{new TBTPeer(&job_)};
    std::unique_ptr<QSocket> remote_;
};

TEST_F(TBTPeerTest, AfterTheHandshakeTheRemoteSideGetsBitfieldInterestedAndUnchokeInThatOrder) {
    Establish();
    const std::string expected = Text(job_.handshake) + Bitfield(job_.bitfield) + Text(BuildInterested()) +
                                 Text(BuildUnchoke());
    ASSERT_TRUE(StepUntil([&] { return remote_->InputSize() >= expected.size(); }));
    EXPECT_EQ(Input(*remote_), expected);
    EXPECT_EQ(candidate_->identity, kRemoteId) << "the remote peer id is kept with the candidate";
    EXPECT_FALSE(peer_->IsChokingRemote());
}

TEST_F(TBTPeerTest, AnHttpLookingPreambleIsSkippedAndAnsweredBeforeTheHandshake) {
    QSocket opener;
    ASSERT_TRUE(opener.Connect(Loopback(), listener_.LocalPort(), false));
    ASSERT_TRUE(WaitConnected(opener));
    ASSERT_TRUE(peer_->Adopt(AcceptOne(listener_)));
    ASSERT_TRUE(SendAll(opener, "GET / HTTP/1.0\r\nHost: 2130706433:1\r\n\r\n" + RemoteHandshake()));

    const std::string answer = "HTTP/1.0 200 OK\r\nConnection: ";
    ASSERT_TRUE(StepUntil([&] {
        opener.Receive(0);
        const std::string input = Input(opener);
        const size_t body = input.find("\r\n\r\n");
        return body != std::string::npos && input.size() >= body + 4 + kHandshakeSize;
    }));
    const std::string input = Input(opener);
    EXPECT_EQ(input.rfind(answer, 0), 0u) << input;
    const size_t body = input.find("\r\n\r\n") + 4;
    EXPECT_EQ(input.substr(body, kHandshakeSize), Text(job_.handshake));
    EXPECT_TRUE(peer_->IsEstablished());
    EXPECT_TRUE(peer_->Statistics().wrapped);
}

TEST_F(TBTPeerTest, MessagesFromTheRemoteSide) {
    struct Case {
        const char* name;
        bool chokeFirst;  // this side chokes the remote side before the bytes arrive
        std::string bytes;
        bool dropped;
        int32_t remotePieces;
        int32_t haveCount;
        bool starved;
        size_t queuedUploads;
        int32_t doNotAsk;  // a piece the peer must not be asked for, or -1
    };
    const std::string keepAlive = Text(BuildKeepAlive());
    const std::string oversizedPiece = std::string{0, 2, 0, 10, kMsgPiece};  // 9 + 131073
    const Case cases[] = {
        {"a keep-alive between two messages is skipped", false, Have(1) + keepAlive + Have(3), false, 2, 2, false, 0, -1},
        {"a bitfield of the wrong length drops the peer", false, Bitfield({0xFF}), true, 0, 0, false, 0, -1},
        {"an all-zero bitfield marks the peer starved", false, Bitfield({0, 0}), false, 0, 0, true, 0, -1},
        {"a have for a known piece changes nothing", false, Bitfield({0x10, 0}) + Have(3), false, 1, 0, false, 0, -1},
        {"a have for a new piece counts", false, Bitfield({0x10, 0}) + Have(4), false, 2, 1, false, 0, -1},
        {"a have beyond the piece count drops the peer", false, Have(kPieces), true, 0, 0, false, 0, -1},
        {"a request while choking is ignored", true, Request(0, 0, 16384), false, 0, 0, false, 0, -1},
        {"a request while unchoked is queued", false, Request(0, 0, 16384), false, 0, 0, false, 1, -1},
        {"a request for a piece this side lacks is ignored", false, Request(1, 0, 16384), false, 0, 0, false, 0, -1},
        {"a request reaching past its piece drops the peer", false, Request(0, 16385, 16384), true, 0, 0, false, 0, -1},
        {"a piece message above the length limit drops the peer", false, oversizedPiece, true, 0, 0, false, 0, -1},
        {"the unreadable-block marker is not data", false, Text(BuildUnreadableBlockMarker(6)), false, 0, 0, false, 0, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Establish();
        if (c.chokeFirst) peer_->Choke();
        if (c.dropped) {
            ASSERT_TRUE(SendAll(*remote_, c.bytes));
            EXPECT_TRUE(StepUntilDropped());
        } else {
            ASSERT_TRUE(Deliver(c.bytes));
            const auto& state = *static_cast<const BitTorrentState*>(peer_->GetInfo(TBTPeer::kBitTorrentInfo));
            EXPECT_EQ(state.remotePieces, c.remotePieces);
            EXPECT_EQ(state.haveCount, c.haveCount);
            EXPECT_EQ(state.starved, c.starved);
            EXPECT_EQ(peer_->QueuedUploads(), c.queuedUploads);
            for (uint32_t piece = 0; piece < kPieces; ++piece)
                EXPECT_EQ(HasBit(state.doNotAsk, piece),
                          static_cast<int32_t>(piece) == c.doNotAsk)
                    << piece;
        }
        peer_->Reset();
        remote_.reset();
    }
}

TEST_F(TBTPeerTest, HoweverFastTheRemoteSideSendsTheRequestsOutstandingStayWithinWhatItQueues) {
    // A side that queues fewer requests than are sent drops the rest, and
    // those blocks wait out the request time-out at the end of a download.
    LargeDownload download;
    ASSERT_NO_FATAL_FAILURE(StartFromSeed(download));
    // 100 MiB/s: a pipeline sized by the rate alone would ask for all 640.
    peer_->SetRates(100 << 20, 0);
    ASSERT_TRUE(StepUntil([&] { return CountRequests(Input(*remote_)) >= TBTPeer::kMaxRequestsInFlight; }));
    for (int step = 0; step < 20; ++step) {
        ASSERT_TRUE(peer_->Tick());
        remote_->Receive(0);
    }
    EXPECT_EQ(CountRequests(Input(*remote_)), TBTPeer::kMaxRequestsInFlight);
    EXPECT_LE(TBTPeer::kMaxRequestsInFlight, TBTPeer::kMaxUploadRequests) << "two of ours must not drop requests";
    peer_->Reset();
}

TEST_F(TBTPeerTest, BesideTheServersThePieceFewestPeersHoldComesFirst) {
    // A crowd trading at random leaves some pieces with few holders, and
    // whoever lacks them waits on those few at the end.
    LargeDownload download;
    job_.handsOutPool = false;
    job_.sourceRanges = true;
    job_.holders.assign(LargeDownload::kPieces, 5);
    job_.holders[23] = 1;
    job_.holders[7] = 2;
    ASSERT_NO_FATAL_FAILURE(StartFromSeed(download));
    ASSERT_TRUE(StepUntil([&] { return CountRequests(Input(*remote_)) > 0; }));
    EXPECT_EQ(RequestsIn(Input(*remote_)).front().index, 23u);
    peer_->Reset();
}

TEST_F(TBTPeerTest, ANewConnectionsPipelineGrowsWithEachBlockBeforeItHasARate) {
    // The refreshed rate comes seconds after the unchoke; a pipeline sized by
    // it alone keeps a fast peer at a couple of blocks per round trip until then.
    LargeDownload download;
    ASSERT_NO_FATAL_FAILURE(StartFromSeed(download));
    ASSERT_EQ(peer_->ReceiveRate(), 0);
    size_t answered = 0;
    std::vector<size_t> outstanding;
    for (int roundTrip = 0; roundTrip < 5; ++roundTrip) {
        ASSERT_TRUE(StepUntil([&] { return CountRequests(Input(*remote_)) > answered; }));
        for (int step = 0; step < 5; ++step) {  // the rest of the batch
            ASSERT_TRUE(peer_->Tick());
            remote_->Receive(0);
        }
        const std::vector<BlockRef> requests = RequestsIn(Input(*remote_));
        outstanding.push_back(requests.size() - answered);
        std::string blocks;
        for (; answered < requests.size(); ++answered) blocks += PieceFor(requests[answered]);
        ASSERT_TRUE(Deliver(blocks));
    }
    EXPECT_EQ(peer_->ReceiveRate(), 0) << "no refresh ran";
    for (size_t i = 1; i < outstanding.size(); ++i)
        EXPECT_GE(outstanding[i], outstanding[i - 1]) << "round trip " << i;
    EXPECT_GE(outstanding.back(), 8 * outstanding.front());
    peer_->Reset();
}

TEST(TransportTurnTest, ATurnTheUdpServiceCannotTakeYetIsKeptForTheNextAttempt) {
    struct Attempt {
        int32_t failures;
        bool udpWanted;
        bool transport;
    };
    // Our registration unanswered at the first attempt, answered by the second.
    TPeerId late;
    for (const Attempt& attempt : {Attempt{0, false, false}, Attempt{1, true, true}, Attempt{2, true, false},
                                   Attempt{3, true, true}}) {
        late.failures = attempt.failures;
        EXPECT_EQ(TBTPeer::TakesTransportTurn(late, attempt.udpWanted), attempt.transport) << attempt.failures;
    }
    // A job that never takes UDP peers always goes over TCP.
    TPeerId never;
    for (int32_t failures = 0; failures < 7; ++failures) {
        never.failures = failures;
        EXPECT_FALSE(TBTPeer::TakesTransportTurn(never, false)) << failures;
    }
    // With the service ready from the start: every third attempt.
    TPeerId ready;
    for (int32_t failures = 0; failures < 7; ++failures) {
        ready.failures = failures;
        EXPECT_EQ(TBTPeer::TakesTransportTurn(ready, true), failures % 3 == 0) << failures;
    }
    // An IPv6 peer is reached directly: no rendezvous, none owed.
    TPeerId direct;
    direct.ip = IpAddress::Parse("2001:db8::7");
    for (int32_t failures = 0; failures < 7; ++failures) {
        direct.failures = failures;
        EXPECT_FALSE(TBTPeer::TakesTransportTurn(direct, true)) << failures;
        EXPECT_FALSE(direct.transportTurnOwed) << failures;
    }
}

}  // namespace
}  // namespace veldmoor::test
