#pragma once
// A BitTorrent peer over one TCP connection: the handshake (optionally behind
// an HTTP-looking preamble), the messages choke to cancel and the marker of
// an unreadable block, block requests with pipelining and end game, and the
// serving of the remote side's requests within the job's upload budget.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "peers/BitTorrentWire.h"
#include "peers/IBitTorrentPeerControl.h"
#include "peers/TPeerObject.h"

namespace veldmoor {

class IBitTorrentJob;

// The BitTorrent state block (GetInfo(kBitTorrentInfo)).
struct BitTorrentState {
    std::vector<uint8_t> remoteBitfield;  // what the remote side has
    std::vector<uint8_t> doNotAsk;        // pieces it said it cannot serve
    int32_t remotePieces = 0;
    int32_t remotePiecesAtHandshake = 0;
    int32_t lastHave = -1;
    int32_t haveCount = 0;  // taken and zeroed by the job
    bool peerChoking = true;
    bool amChoking = true;
    int64_t chokeTime = 0;
    // Entries at the head of the pending requests that went out as request messages.
    int32_t inFlight = 0;
    bool receivingPiece = false;
    bool starved = false;
    int64_t starvedSince = 0;
    int64_t seedSince = 0;
    // Consecutive request time-out checks without piece data.
    int32_t timeoutCounter = 0;
    Handshake handshake{};
    bool handshakeComplete = false;
};

class TBTPeer final : public TPeerObject, public IBitTorrentPeerControl {
public:
    static constexpr int kBitTorrentInfo = 1;
    static constexpr int64_t kConnectTimeoutSeconds = 22;
    static constexpr int64_t kTransportConnectTimeoutSeconds = 28;
    static constexpr int32_t kHighestTransportPriority = 34;
    static constexpr int32_t kTransportEveryThirdFailure = 3;
    // Whether this attempt at a peer behind NAT goes over the UDP stream
    // transport: every third attempt, or the first one once the UDP service
    // can take it after a turn that came too early.
    static bool TakesTransportTurn(TPeerId& candidate, bool udpWanted);
    static constexpr int64_t kHandshakeTimeoutSeconds = 12;
    // Request time-out: checked every 2 s while requests are out and the
    // remote side does not choke; more than 7 checks in a row without piece
    // data (so 16 s) cancel the requests.
    static constexpr int64_t kRequestCheckSeconds = 2;
    static constexpr int32_t kRequestChecksBeforeTimeout = 7;
    // The remote side's requests this side keeps; more are ignored.
    static constexpr size_t kMaxUploadRequests = 512;
    // Requests kept outstanding at the remote side, however fast it sends: a
    // side that queues fewer drops the rest unanswered, and those blocks then
    // wait for the request time-out. Below what common clients queue.
    static constexpr size_t kMaxRequestsInFlight = 250;
    static_assert(kMaxRequestsInFlight <= kMaxUploadRequests, "two of ours must not drop each other's requests");
    // Blocks this side cancelled that may still arrive without fault.
    static constexpr size_t kMaxRecentCancels = 512;
    // Bytes a preamble may take before the handshake must follow.
    static constexpr size_t kMaxPreambleBytes = 2048;
    // A step stops reading here and parses: a turn comes every few
    // milliseconds, so 1 MiB a step is far above any link's rate, while a
    // larger buffer per connection is memory held for nothing.
    static constexpr size_t kMaxBufferedInput = size_t{1} << 20;

    explicit TBTPeer(IPeerJob* job);
    ~TBTPeer() override;

    bool Receive() override;
    bool Flush() override;
    bool RequestBlocks() override;
    bool Upload() override;
    void Reset() override;

    bool SendRequests() override;
    bool Open(TPeerId* candidate) override;
    bool Adopt(std::unique_ptr<QSocket> accepted) override;
    bool OnConnected() override;
    bool CheckHandshake(QSocket& connection) override;
    bool IsIdle() override;
    const void* GetInfo(int which) const override;
    int32_t GetRemoteRate() override;
    bool IsStarved() override;
    bool IsSeedSettled() override;
    void CancelObsolete() override;
    bool IsSeed() override;
    void ReleaseRange() override;
    int32_t NextPiece() override;
    IBitTorrentPeerControl* BitTorrent() override { return this; }
    // The optional preamble, then the handshake.
    bool SendHello();

    // IBitTorrentPeerControl
    bool IsChokingRemote() const override { return state_.amChoking; }
    void Unchoke() override;
    void ChokeAndDropUploads() override;
    int32_t TakeHaveCount() override;
    int32_t RemotePieceCount() const override { return state_.remotePieces; }
    bool AsksToBeKept() const override { return deliveredBlocks_ > 0; }
    void Choke();

    const BitTorrentState& State() const { return state_; }
    size_t QueuedUploads() const { return uploads_.size(); }
    bool OffersPiece(int32_t piece) const override { return !state_.peerChoking && RemoteHas(piece); }
    bool HoldsPiece(int32_t piece) const override { return RemoteHas(piece); }
    bool HasUploadsWaiting() const override { return !state_.amChoking && !uploads_.empty(); }

protected:
    // Only blocks this side asked for (sent requests, the job's pool, or
    // blocks it cancelled lately) are accepted.
    bool DeliverBlock(int32_t block, const uint8_t* data, int32_t length) override;

private:
    struct UploadRequest {
        uint32_t index = 0;
        uint32_t begin = 0;
        uint32_t length = 0;
    };
    // A run of pieces this peer cut from the far end of a source range.
    struct FarEndRange {
        bool active = false;
        int32_t first = 0;
        int32_t cursor = 0;
    };

    IBitTorrentJob* BitTorrentJob() const;
    PieceLayout Layout() const;
    int64_t Now() const;
    bool Fail();
    bool Send(std::span<const uint8_t> bytes);

    bool ChoosesStreamTransport(TPeerId& candidate) const;
    bool OpenStreamTransport(TPeerId& candidate);
    // Our address became known while a TCP connect stood in for a transport turn.
    bool OwedTransportTurnIsDue() const;
    bool OpenOwedTransport();
    // Bytes 12-19 of an address-only identity, else bytes 8-15.
    static QSocket::TransportKey TransportKeyOf(const TPeerId& candidate);

    // Receive parts.
    bool AwaitConnect();
    int ReadSize() const;
    bool ReceiveHandshake();
    bool CompleteHandshake();
    bool ParseMessages();
    bool HandleMessage(uint8_t id, std::span<const uint8_t> payload);
    bool HandleHave(std::span<const uint8_t> payload);
    bool HandleBitfield(std::span<const uint8_t> payload);
    bool HandleRequest(uint8_t id, std::span<const uint8_t> payload);
    bool HandlePiece(std::span<const uint8_t> payload);
    void NotePartialPiece(std::span<const uint8_t> buffered);
    void SetPeerChoking(bool choking);
    void UpdateActivity();
    void NoteSeed();

    // Requests.
    bool RemoteHas(int32_t piece) const;
    bool MayAsk(int32_t piece) const;
    bool Qualifies(int32_t piece, bool takeInFlight);
    int32_t PieceFromReadPosition();
    int32_t PieceFromFarEnd();
    // Any piece the remote side has that no server works on or is about to.
    int32_t PieceBesideServers();
    int32_t PieceFromFiles();
    // Moves the job's pooled requests of `piece` to this peer.
    void TakePooledRequestsOf(int32_t piece);
    void QueueBlocks(int32_t piece, int32_t firstMissing);
    // Cancels the requests in flight and gives every pending request back.
    void CancelAndReturnRequests();
    void SendCancel(const BlockRequest& request);
    void RememberCancel(int32_t block);
    void CheckRequestTimeout();
    void ReturnRequestsOfPiece(int32_t piece);
    void DropUnsentRequestsOf(int32_t piece);

    BitTorrentState state_;
    std::vector<UploadRequest> uploads_;
    std::deque<int32_t> recentCancels_;
    FarEndRange farEnd_;
    int64_t connectStarted_ = 0;
    int64_t lastStarvedRound_ = 0;
    int64_t nextRoundAt_ = 0;  // when every piece it has was taken by others
    int64_t lastTimeoutCheck_ = 0;
    bool pieceDataSinceCheck_ = false;
    size_t partialNoted_ = 0;
    int32_t sweepStart_ = 0;
    int32_t deliveredBlocks_ = 0;
    int32_t receivedThisPass_ = 0;
    bool helloSent_ = false;
    bool flushTurn_ = false;
    bool adopting_ = false;
    bool transport_ = false;
};

}  // namespace veldmoor
