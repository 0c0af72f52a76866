#pragma once
// The download job: the thread body that drives its components, the
// operations the task interface forwards to, and status reporting. It owns
// the record, its place in the engine, the peer set, the piece work, the
// transfer meter, the loop's pace, the pause after a turn and the per-second
// step, and answers its connections' roles from them.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EngineMembership.h"
#include "engine/JobRecord.h"
#include "engine/SecondStep.h"
#include "engine/TWorkWithPeers.h"
#include "engine/TWorkWithPieces.h"
#include "engine/TransferMeter.h"
#include "engine/TurnPacing.h"
#include "engine/TurnWait.h"
#include "foundation/WorkerThread.h"
#include "peers/IBitTorrentJob.h"
#include "peers/IPeerJob.h"
#include "peers/ITrackerJob.h"

namespace veldmoor {

class TWorkThread final : public WorkerThread,
                          public IPeerJob,
                          public IBitTorrentJob,
                          public ITrackerJob,
                          private IPieceWorkEvents,
                          private ISecondStepJob {
public:
    explicit TWorkThread(EngineState& engine);
    ~TWorkThread() override;

    JobRecord& Record() { return record_; }
    const JobRecord& Record() const { return record_; }
    TWorkWithPeers& PeerSet() { return peerSet_; }
    const TWorkWithPeers& PeerSet() const { return peerSet_; }
    TWorkWithPieces& Pieces() { return pieces_; }
    const TWorkWithPieces& Pieces() const { return pieces_; }
    EngineState& Engine() { return engine_; }

    void Run() override;
    void Refresh() override { pieces_.Refresh(); }

    int StopDownload();
    int StartDownload();
    int ContinueDownload();
    int PauseDownload();
    int RestartDownload();
    int ResumeDownload();
    TaskReport Report();
    int IsComplete();
    void SetLimit(LimitDirection direction, SpeedLimit limit);
    // Copies up to `length` bytes of the published bitfield; the bit count.
    int CopyBitfield(uint8_t* buffer, int length);

    int64_t OnTurn();
    void Publish(bool flush, bool force) override;
    // Whether the run should end because the download is complete (and
    // seeded); marks the job finished once every piece is on disk.
    bool CheckComplete(int64_t now);
    bool WantsUdpPeers() const override;
    // A peer object of `kind` from the idle pool or new; null for kinds nobody registered.
    TPeerObject* MakePeer(int32_t kind);

    void Reset(bool clearFiles, bool b);

    // --- What the task interface reads of the piece work ---
    int GetFileCount() { return pieces_.GetFileCount(); }
    int64_t GetFileSize(int index) { return pieces_.GetFileSize(index); }
    bool GetFileName(int index, int type, std::string& name) { return pieces_.GetFileName(index, type, name); }
    int ReadData(int file, int64_t offset, int length, void* buffer) {
        return pieces_.ReadData(file, offset, length, buffer);
    }
    void SetPriority(int32_t file, int32_t priority) { pieces_.SetPriority(file, priority); }
    const std::vector<uint8_t>& PublishedBits() const { return pieces_.PublishedBits(); }
    int PublishedBitfieldSize() const { return pieces_.PublishedBitfieldSize(); }
    TPieces* PieceMap() const { return pieces_.PieceMap(); }
    TTorrent* Torrent() const { return pieces_.Torrent(); }
    const std::array<uint8_t, 68>& Handshake() const { return pieces_.Handshake(); }

    // --- IPieceSchedule: the piece work's block scheduling ---
    TPieces* ReadyPieceMap() const override { return pieces_.ReadyPieceMap(); }
    bool IsDownloading() const override { return pieces_.IsDownloading(); }
    bool IsPieceWanted(int32_t piece) override { return pieces_.IsPieceWanted(piece); }
    bool IsEndGame() const override { return pieces_.IsEndGame(); }
    int32_t NextSourcePiece(TPeerObject& peer) override { return pieces_.NextSourcePiece(peer); }
    void ReleaseSourceRange(TPeerObject& peer) override { pieces_.ReleaseSourceRange(peer); }
    bool TakeSourceRangeAt(TPeerObject& peer, int32_t piece) override { return pieces_.TakeSourceRangeAt(peer, piece); }
    int64_t SourceRangeEnd(const TPeerObject& peer) const override { return pieces_.SourceRangeEnd(peer); }
    bool TakeOutstandingRequest(int32_t block) override { return pieces_.TakeOutstandingRequest(block); }
    void ReturnRequests(std::vector<BlockRequest>& requests) override { pieces_.ReturnRequests(requests); }
    void ReleaseFailedPiece(int32_t piece) override { pieces_.ReleaseFailedPiece(piece); }
    int32_t ReadPosition() const override { return pieces_.ReadPosition(); }
    int64_t TotalSize() const override { return pieces_.TotalSize(); }

    // --- ISourceRegistry: the peer set's candidates, the piece work's file facts ---
    void SourceFailed(TPeerId* candidate, bool retry, int32_t delay) override {
        peerSet_.SourceFailed(candidate, retry, delay);
    }
    void SourceUnusable(TPeerId* candidate, const std::string& reason) override {
        peerSet_.SourceUnusable(candidate, reason);
    }
    bool AddCandidate(TPeerId* candidate, bool a, bool b) override { return peerSet_.AddCandidate(candidate, a, b); }
    void NoteRedirectResolution(bool unresolvable) override { peerSet_.NoteRedirectResolution(unresolvable); }
    void OnSourceFileSize(int64_t size) override { pieces_.OnSourceFileSize(size); }
    bool SettlingFileSize() const override { return pieces_.SettlingFileSize(); }
    bool AcceptSourceVersion(const std::string& url, const std::string& version) override {
        return pieces_.AcceptSourceVersion(url, version);
    }
    std::string SourceVersion(const std::string& url) const override { return pieces_.SourceVersion(url); }
    void SourceFileChanged(const std::string& url) override { pieces_.SourceFileChanged(url); }

    // --- IJobState ---
    bool PeerToPeerEnabled() const override { return peerSet_.PeerToPeerEnabled(); }
    bool DownloadComplete() const override { return peerSet_.DownloadComplete(); }

    // --- IBitTorrentJob: identity, pieces and scheduling from the piece work,
    // known peers and upload slots from the peer set, budgets from the meter ---
    const std::array<uint8_t, kHandshakeSize>& HandshakeTemplate() const override {
        return pieces_.HandshakeTemplate();
    }
    PieceLayout TorrentLayout() const override { return pieces_.TorrentLayout(); }
    const std::vector<uint8_t>& JobBitfield() const override { return pieces_.JobBitfield(); }
    bool WrapsHandshakes() const override { return pieces_.WrapsHandshakes(); }
    int32_t UploadSlotCount() const override { return pieces_.UploadSlotCount(); }
    bool ServesUploads() const override { return pieces_.ServesUploads(); }
    bool IsPeerIdConnected(const PeerIdentity& peerId, const TPeerObject& asking) const override {
        return pieces_.IsPeerIdConnected(peerId, asking);
    }
    TPeerId* CandidateForIncoming(const IpAddress& ip, int32_t port) override {
        return pieces_.CandidateForIncoming(ip, port);
    }
    bool AddInFlight(int32_t piece) override { return pieces_.AddInFlight(piece); }
    void RemoveInFlight(int32_t piece, bool discard) override { pieces_.RemoveInFlight(piece, discard); }
    void ForgetInFlight(int32_t piece) override { pieces_.ForgetInFlight(piece); }
    int32_t RandomStart() const override { return pieces_.RandomStart(); }
    bool TakeRequests(std::vector<BlockRequest>& list, const std::vector<uint8_t>& peerBitfield, int max,
                      const std::vector<uint8_t>& exclude) override {
        return pieces_.TakeRequests(list, peerBitfield, max, exclude);
    }
    const std::vector<BlockRequest>& OutstandingRequests() const override { return pieces_.OutstandingRequests(); }
    bool HasOutstandingRequest(int32_t block) const override { return pieces_.HasOutstandingRequest(block); }
    void AddOutstandingRequest(const BlockRequest& request) override { pieces_.AddOutstandingRequest(request); }
    bool WaitsForServerSources() override { return pieces_.WaitsForServerSources(); }
    bool HasSourceRanges() const override { return pieces_.HasSourceRanges(); }
    bool CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces, int32_t maximumPieces,
                      PieceRun& run) override {
        return pieces_.CutFarEndRun(qualifies, minimumPieces, maximumPieces, run);
    }
    int32_t FarEndPiece(const std::function<bool(int32_t)>& qualifies, int32_t peerRate) override {
        return pieces_.FarEndPiece(qualifies, peerRate);
    }
    bool ServerFetchesSoon(int32_t piece) override { return pieces_.ServerFetchesSoon(piece); }
    int32_t PeersHolding(int32_t piece) const override { return pieces_.PeersHolding(piece); }

    bool Finished() const { return record_.Finished(); }
    const TransferMeter& Meter() const { return meter_; }

    // --- ITransferMeter, IBitTorrentJob: the meter's budgets and counts ---
    int32_t DownloadBudget() const override { return meter_.DownloadBudget(); }
    int32_t UploadBudget() const override { return meter_.UploadBudget(); }
    // Payload the map accepted; BitTorrent and server bytes are counted apart.
    void CountDelivered(int32_t kind, int32_t bytes) override;
    void AddUploaded(int32_t bytes) override;
    void CountWaitingUpload() override { ++waitingUploads_; }
    // Passes of the run loop finished so far: a caller that saw it grow by two
    // knows a whole pass ran after its own last change.
    uint64_t TurnsDone() const { return turnsDone_.load(std::memory_order_acquire); }

    // ITrackerJob
    InfoHash AnnounceInfoHash() const override;
    PeerIdentity AnnouncePeerId() const override;
    int32_t AnnouncePort() const override;
    AnnounceTotals AnnounceTransferTotals() const override;
    void SetAnnounceInterval(int32_t seconds) override;
    void SetSwarmCounts(int32_t seeds, int32_t completed) override;

private:
    // ISecondStepJob
    const std::vector<TPeerObject*>& StepConnections() const override { return peerSet_.Peers(); }
    TPieces* StepPieceMap() const override { return pieces_.PieceMap(); }
    bool StepPieceMapReady() const override { return pieces_.HasReadyPieceMap(); }
    std::vector<int32_t>& StepPendingHaves() override { return pieces_.MutablePendingHaves(); }
    void StepPublish() override { Publish(true, false); }
    bool StepCheckComplete() override { return CheckComplete(0); }
    void StepGiveUp(const std::string& reason, const std::string& consequence) override;
    void StepSetUploadSlots(int32_t slots) override { peerSet_.SetUploadSlots(slots); }

    // The per-second step, then the connection rounds of the second.
    void CloseSecond(bool complete);
    // Ranks the connections, takes their rates and runs the peer upkeep; every 4 s.
    void RefreshRates();
    // Sum of the peers' current receive rates over the kinds in `kindMask`.
    int64_t SumPeerRate(int32_t kindMask) const;

    EngineState& engine_;
    EngineMembership membership_;
    JobRecord record_;
    // The piece work comes first: the peer set is handed it, built, as its
    // IPeerSetEvents, and the peer set ends first, while the piece work can
    // still hear about the connections it drops.
    TWorkWithPieces pieces_;
    TWorkWithPeers peerSet_;

    std::atomic<uint64_t> turnsDone_{0};
    TransferMeter meter_;
    TurnPacing pacing_;
    SecondStep step_;
    int32_t waitingUploads_ = 0;

    bool Prepare();
    void PublishLocked(bool flush, bool force);
    void RunLoop();
    void FinishRun();
    // A run an exception ended shows as failed, not as running normally.
    void ShowRunFailed();
    // One turn's work under the job's lock; the milliseconds to sleep after it.
    uint32_t WorkOneTurn();
    // The per-second step and the peer passes of a turn.
    void RunPeerProcessing();
    // The two peer passes: download steps, then BitTorrent upload steps.
    void StepPeers(bool fullTurn, int32_t extraUploads);
    void TakeOnDiskSize();
    bool SourcesExhausted();
    // A wanted piece no source can supply any more: told, and the run ends (once a second at most).
    bool PieceBeyondEverySource(int64_t now);
    bool ReadTorrentSource();

    // The loop's own state.
    uint32_t turnCounter_ = 0;
    uint32_t lastDispatchTick_ = 0;
    uint32_t lastSecondTick_ = 0;
    bool publishPending_ = false;
    bool sourcesFailed_ = false;
    bool noSize_ = false;
    int64_t lastSupplyCheck_ = 0;
    int64_t lastFeed_ = 0;       // T15
    int64_t lastAnnounce_ = 0;   // T10
    uint32_t onlyTrackersSinceTick_ = 0;
    TurnWait turnWait_;
};

}  // namespace veldmoor
