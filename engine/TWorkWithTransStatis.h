#pragma once
// The job's transfer statistics: the per-second step (speeds, averages,
// remaining time, budgets, pacing, periodic save and status refresh), the
// connection scale, and the budgets that hold the job to its speed limits.
#include <cstdint>

#include "engine/TWorkWithPieces.h"
#include "engine/TransferMeter.h"
#include "engine/TransferRules.h"
#include "engine/TurnPacing.h"

namespace veldmoor {

class TWorkWithTransStatis : public TWorkWithPieces {
public:
    explicit TWorkWithTransStatis(EngineState& engine);

    // Sum of the peers' current receive rates over the kinds in `kindMask`.
    int64_t SumPeerRate(int32_t kindMask) const;
    void Reset(bool clearFiles, bool b) override;

    // What the job may still receive and send in the current second.
    int32_t DownloadBudget() const override { return meter_.DownloadBudget(); }
    int32_t UploadBudget() const override { return meter_.UploadBudget(); }
    // Payload the map accepted; BitTorrent and server bytes are counted apart.
    void CountDelivered(int32_t kind, int32_t bytes) override;
    void AddUploaded(int32_t bytes) override;
    void CountWaitingUpload() override { ++waitingUploads_; }
    void CountStepBytes(int64_t received, int64_t sent) { meter_.CountStep(received, sent); }
    const TransferMeter& Meter() const { return meter_; }

    int32_t CurrentDownloadSpeed() const { return currentDownloadSpeed_; }
    int32_t CurrentUploadSpeed() const { return currentUploadSpeed_; }

protected:
    // The per-second step; `complete`: every piece is verified. The status is
    // to be published after it.
    void TickSecond(bool complete);
    // Every 4 s of job clock (or when forced): rank connections and derive their rates.
    virtual void RefreshRates();
    bool RatesDue() const;
    void ScaleConnections();
    void PeriodicSave();
    // Saves once this much was fetched since the last save, so that a crash
    // at any moment costs at most about that much fetched again; every turn.
    void SaveAfterProgress();
    // Writes finished pieces out and saves the status and the state file.
    void SaveProgress();
    void RefreshStatus(bool complete);
    void AnnounceHaves();
    // Writes held piece data out as soon as it fills the write window; at LAN
    // speeds the periodic write-back alone would let memory grow far past it.
    void KeepHeldDataBounded();
    // Once every piece is in, waiting for the periodic write-back would only delay the end.
    void WriteOutWhenAllHeld(bool complete);
    void ApplyLowRateRule();
    bool IsComplete() const {
        const JobStatusRecord& working = record_.Working();
        return working.pieceCount > 0 && working.piecesVerified >= working.pieceCount;
    }

    // Shared with the thread body, which spends and counts through them.
    TransferMeter meter_;
    TurnPacing pacing_;
    int32_t waitingUploads_ = 0;
    bool secondStepDue_ = true;  // the first turn after a reset runs the per-second step at once

private:
    int32_t currentDownloadSpeed_ = 0;
    int32_t currentUploadSpeed_ = 0;
    int32_t lowRateSeconds_ = 0;
    uint32_t lastSaveSecond_ = 0;
    int64_t fetchedAtLastSave_ = 0;
    uint32_t lastHeldScanTick_ = 0;
    uint32_t lastHaveSecond_ = 0;
    int64_t lastStatusRefresh_ = 0;
    int64_t lastRatesRefresh_ = 0;
    bool forceRatesRefresh_ = false;
    int32_t ratesRefreshCount_ = 0;
    RemainingTimeEstimate remainingEstimate_;
    BytesLeftEstimate bytesLeft_;
};

}  // namespace veldmoor
