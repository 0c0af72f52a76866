#pragma once
// The concrete download job: the thread body, the operations the task
// interface forwards to, and status reporting. It owns the transfer meter,
// the loop's pace, the pause after a turn and the per-second step.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/SecondStep.h"
#include "engine/TWorkWithPieces.h"
#include "engine/TransferMeter.h"
#include "engine/TurnPacing.h"
#include "engine/TurnWait.h"
#include "peers/ITrackerJob.h"

namespace veldmoor {

class TWorkThread final : public TWorkWithPieces, public ITrackerJob, private ISecondStepJob {
public:
    explicit TWorkThread(EngineState& engine);
    ~TWorkThread() override;

    void Run() override;

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

    void Reset(bool clearFiles, bool b) override;

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
    TPieces* StepPieceMap() const override { return pieces_; }
    bool StepPieceMapReady() const override { return pieceMapReady_; }
    std::vector<int32_t>& StepPendingHaves() override { return pendingHaves_; }
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
