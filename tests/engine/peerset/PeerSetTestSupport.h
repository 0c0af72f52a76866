#pragma once
// A job made of the peer-set layer alone, the smallest peer kinds its tests
// need, and a resolver that answers from a table.
#include "tests/support/PeerJobStub.h"
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/EngineMembership.h"
#include "engine/EngineState.h"
#include "engine/JobRecord.h"
#include "engine/TWorkWithPeers.h"
#include "engine/TaskApi.h"
#include "foundation/EngineLocks.h"
#include "foundation/WorkerThread.h"
#include "peers/HostResolver.h"
#include "peers/IBitTorrentPeerControl.h"
#include "peers/PeerFactory.h"
#include "peers/SourceAddress.h"
#include "peers/TPeerObject.h"
#include "platform/Clock.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {

// A peer that connects its socket for real and lets the test decide the rest.
class TestPeer final : public TPeerObject, public IBitTorrentPeerControl {
public:
    TestPeer(int32_t kind, IPeerJob& job) : TPeerObject(kind, &job) {}

    bool Receive() override {
        ++receives;
        if (!receiveSucceeds) return false;
        QSocket* connection = Connection();
        if (connection && connection->IsConnected() && connection->Receive(0) < 0) return false;
        if (connection && connection->InputSize() > 0) {
            CountPayload(static_cast<int32_t>(connection->InputSize()));
            connection->ConsumeInput(-1, false);
        }
        return true;
    }
    bool Upload() override {
        ++uploads;
        return true;
    }
    bool Open(TPeerId* candidate) override {
        ++opens;
        if (!TPeerObject::Open(candidate) || !openSucceeds) return false;
        if (!EnsureConnection().Connect(candidate->ip, candidate->port, false)) return false;
        SetPhase(kPhaseConnecting);
        return true;
    }
    bool CheckHandshake(QSocket& connection) override {
        handshakeBytesSeen = connection.InputSize();
        return acceptHandshake && connection.InputSize() >= 68;
    }
    bool OnConnected() override {
        SetPhase(kPhaseEstablished);
        return true;
    }
    bool IsIdle() override { return idle; }
    bool IsStarved() override { return starved; }
    bool IsSeed() override { return seed; }
    bool IsSeedSettled() override { return seedSettled; }
    IBitTorrentPeerControl* BitTorrent() override { return Kind() == kPeerBitTorrent ? this : nullptr; }

    bool IsChokingRemote() const override { return choking; }
    void Unchoke() override {
        choking = false;
        ++unchokes;
    }
    void ChokeAndDropUploads() override {
        choking = true;
        ++chokes;
    }
    int32_t TakeHaveCount() override { return std::exchange(haves, 0); }
    int32_t RemotePieceCount() const override { return remotePieces; }
    bool AsksToBeKept() const override { return keep; }

    void Establish() { SetPhase(kPhaseEstablished); }
    void SetState(int32_t activity) { SetActivity(activity); }

    bool openSucceeds = true;
    bool receiveSucceeds = true;
    bool acceptHandshake = true;
    bool idle = false;
    bool starved = false;
    bool seed = false;
    bool seedSettled = false;
    bool choking = true;
    bool keep = false;
    int32_t haves = 0;
    int32_t remotePieces = 0;
    size_t handshakeBytesSeen = 0;
    int opens = 0;
    int receives = 0;
    int uploads = 0;
    int chokes = 0;
    int unchokes = 0;
};

// What the peer set has around it in a job: a thread that never runs (its
// lock, its age, the job's place in the engine), the record, no piece map,
// and neutral answers to what connections ask; what they ask of the sources
// goes to the peer set.
class PeerSetSurroundings : public PeerJobStubOf<IPeerJob>, public IPeerSetEvents {
public:
    explicit PeerSetSurroundings(EngineState& engine) : jobMembership_(engine, jobThread_) {}

    bool HasPieceMap() override { return pieceMapReady; }
    void Publish(bool /*flush*/, bool /*force*/) override {
        ++publishes;
        jobRecord_.Published() = jobRecord_.Working();
    }
    int64_t TotalSize() const override { return 0; }
    void MarkSourceRangeReset(TPeerObject& /*peer*/) override {}
    void ForgetPeer(TPeerObject& /*peer*/) override {}
    void OnPeerEnding(TPeerObject& /*peer*/) override {}

    bool PeerToPeerEnabled() const override { return peerSet_->PeerToPeerEnabled(); }
    bool DownloadComplete() const override { return peerSet_->DownloadComplete(); }
    void CountWaitingUpload() override {}
    bool AddCandidate(TPeerId* candidate, bool a, bool b) override { return peerSet_->AddCandidate(candidate, a, b); }
    void SourceFailed(TPeerId* candidate, bool retry, int32_t delay) override {
        peerSet_->SourceFailed(candidate, retry, delay);
    }
    void SourceUnusable(TPeerId* candidate, const std::string& reason) override {
        peerSet_->SourceUnusable(candidate, reason);
    }
    void NoteRedirectResolution(bool unresolvable) override { peerSet_->NoteRedirectResolution(unresolvable); }

    int publishes = 0;
    bool pieceMapReady = false;

protected:
    class IdleThread final : public WorkerThread {
    public:
        void Run() override {}
        void Refresh() override {}
    };

    IdleThread jobThread_;
    JobRecord jobRecord_{jobThread_.Lock()};
    EngineMembership jobMembership_;
    TWorkWithPeers* peerSet_ = nullptr;
};

// The peer set with its surroundings, as a job of its own.
class PeerSetJob final : public PeerSetSurroundings, public TWorkWithPeers {
public:
    explicit PeerSetJob(EngineState& engine)
        : PeerSetSurroundings(engine), TWorkWithPeers(engine, jobRecord_, jobThread_, *this, *this) {
        peerSet_ = this;
    }

    // The peer set's own, not the surroundings' forwarders.
    using TWorkWithPeers::AddCandidate;
    using TWorkWithPeers::DownloadComplete;
    using TWorkWithPeers::NoteRedirectResolution;
    using TWorkWithPeers::PeerToPeerEnabled;
    using TWorkWithPeers::SourceFailed;
    using TWorkWithPeers::SourceUnusable;

    JobRecord& Record() { return jobRecord_; }
    RecursiveMutex& Lock() { return jobThread_.Lock(); }
    JobStatusRecord& Working() { return jobRecord_.Working(); }
    void SetPieces(int32_t count, int32_t verified) {
        jobRecord_.Working().pieceCount = count;
        jobRecord_.Working().piecesVerified = verified;
    }
    void SetMaxConnections(int32_t maximum) { jobRecord_.Settings().maxConnections = maximum; }
    void SetConnectionsPerSource(int32_t connections) { jobRecord_.Settings().connectionsPerSource = connections; }
    std::vector<SourceLine>& Lines() { return jobRecord_.SourceLines(); }
};

// Host names answered from a table; any other name does not exist.
class TableResolver {
public:
    TableResolver()
        : resolver_([this](const std::string& name) { return Answer(name); }, [] { return std::vector<std::string>{}; }) {}

    void Add(const std::string& name, std::vector<IpAddress> addresses) { table_[name] = std::move(addresses); }
    HostResolver& Resolver() { return resolver_; }

private:
    platform::HostQueryAnswer Answer(const std::string& name) const {
        const auto found = table_.find(name);
        if (found == table_.end()) return {platform::HostQueryStatus::kHostNotFound, {}};
        return {platform::HostQueryStatus::kFound, found->second};
    }

    std::map<std::string, std::vector<IpAddress>> table_;
    HostResolver resolver_;
};

// A candidate owned by a test; released, not deleted, when it goes.
struct ReleaseCandidate {
    void operator()(TPeerId* candidate) const { candidate->Release(); }
};
using CandidatePtr = std::unique_ptr<TPeerId, ReleaseCandidate>;

inline IpAddress Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return Ipv4Address::FromOctets(a, b, c, d); }

inline InfoHash HashOf(uint8_t fill) {
    InfoHash hash;
    hash.fill(fill);
    return hash;
}

// The 68-byte handshake for `hash` from `peerId`.
inline std::string Handshake(const InfoHash& hash, const PeerIdentity& peerId) {
    std::string bytes(1, static_cast<char>(19));
    bytes += "BitTorrent protocol";
    bytes += std::string(8, '\0');
    bytes.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    bytes.append(reinterpret_cast<const char*>(peerId.data()), peerId.size());
    return bytes;
}

// An initialised engine over a driven clock, a job of the peer-set layer, the
// test peer kinds and a loopback listener for its peers to reach.
class PeerSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(EngineInit(dir_.Path().c_str()), kResultOk);
        SetEngineSwitch(false);
        for (const int32_t kind : {kPeerBitTorrent, kPeerHttp, kPeerFtp, kPeerTracker}) {
            factory_.Register(kind, [kind](IPeerJob& job) { return new TestPeer(kind, job); });
        }
        job_ = std::make_unique<PeerSetJob>(TheEngine());
        job_->SetPeerFactory(&factory_);
        job_->SetHostResolver(&names_.Resolver());
        ASSERT_TRUE(server_.Listen(0));
    }
    void TearDown() override {
        job_.reset();
        SetEngineSwitch(false);
        {
            ScopedLock guard(EngineJobListLock());
            TheEngine().listenPort = 0;
            TheEngine().reachableFromOutside = false;
            TheEngine().localAnnouncements.SetChannelOpener(nullptr);
        }
        EngineUninit();
    }

    static void SetEngineSwitch(bool on) {
        ScopedLock guard(EngineJobListLock());
        TheEngine().peerToPeer = on;
    }
    void TurnPeerToPeer(bool on) {
        SetEngineSwitch(on);
        job_->RefreshEngineView();
    }
    // Seconds pass on the driven clock, which the job clock follows.
    void Advance(uint32_t seconds) { clock_->AdvanceMs(uint64_t{seconds} * 1000); }

    TestPeer* PeerAt(size_t index) const { return static_cast<TestPeer*>(job_->Peers().at(index)); }
    std::vector<TestPeer*> OpenPeers() const {
        std::vector<TestPeer*> peers;
        for (TPeerObject* peer : job_->Peers()) peers.push_back(static_cast<TestPeer*>(peer));
        return peers;
    }
    int32_t Port() const { return server_.LocalPort(); }

    // A BitTorrent candidate on a loopback address other than 127.0.0.1
    // (which candidates may not use), reaching the test's listener.
    TPeerId* BitTorrentCandidate(uint8_t last) {
        return job_->AddPeerAddress(Ip(127, 0, 1, last), Port(), kPeerBitTorrent, false, 19);
    }
    // `count` more established BitTorrent connections, each to a candidate of
    // its own; all open connections in list order.
    std::vector<TestPeer*> EstablishedPeers(int count) {
        for (int i = 0; i < count; ++i, ++peersMade_) {
            const auto high = static_cast<uint8_t>(peersMade_ / 250);
            const auto low = static_cast<uint8_t>(peersMade_ % 250 + 1);
            TPeerId* candidate = job_->AddPeerAddress(Ip(127, 1, high, low), Port(), kPeerBitTorrent, false, 19);
            EXPECT_NE(candidate, nullptr);
            if (candidate) {
                EXPECT_EQ(job_->ConnectCandidate(*candidate, 1), 1);
            }
        }
        std::vector<TestPeer*> peers = OpenPeers();
        for (TestPeer* peer : peers) peer->Establish();
        return peers;
    }

    platform::ScopedDrivenClock clock_{0, 1'700'000'000};
    TempDir dir_;
    PeerFactory factory_;
    TableResolver names_;
    QSocket server_;
    std::unique_ptr<PeerSetJob> job_;
    int peersMade_ = 0;
};

}  // namespace veldmoor::test
