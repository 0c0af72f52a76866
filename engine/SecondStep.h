#pragma once
// The job's per-second step: closes the second on the transfer meter (speeds,
// averages, the remaining time, the loop's pace, the connection scale), saves
// progress (every 20 s and after every 16 MiB fetched), refreshes the status
// and ends a run that completed nothing for 15 minutes, announces verified
// pieces to the peers, and holds piece data in memory no longer than the
// write window allows. It also keeps the rate refresh's period and the
// speeds it measured.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/JobRecord.h"
#include "engine/TransferMeter.h"
#include "engine/TransferRules.h"
#include "engine/TurnPacing.h"
#include "foundation/RecursiveMutex.h"

namespace veldmoor {

class TPeerObject;
class TPieces;

// What the step needs of the rest of the job.
class ISecondStepJob {
public:
    // The open connections.
    virtual const std::vector<TPeerObject*>& StepConnections() const = 0;
    // The piece map, ready or not; null before there is one.
    virtual TPieces* StepPieceMap() const = 0;
    virtual bool StepPieceMapReady() const = 0;
    // Pieces verified since the last have announcement, oldest first.
    virtual std::vector<int32_t>& StepPendingHaves() = 0;
    virtual void StepPublish() = 0;
    // Whether the download is complete (and seeded); marks it finished.
    virtual bool StepCheckComplete() = 0;
    // Nothing was completed for too long: the user is told why and the run ends.
    virtual void StepGiveUp(const std::string& reason, const std::string& consequence) = 0;
    virtual void StepSetUploadSlots(int32_t slots) = 0;

protected:
    ~ISecondStepJob() = default;
};

class SecondStep {
public:
    SecondStep(JobRecord& record, TransferMeter& meter, TurnPacing& pacing, RecursiveMutex& jobLock,
               ISecondStepJob& job);
    SecondStep(const SecondStep&) = delete;
    SecondStep& operator=(const SecondStep&) = delete;

    // The first turn after a reset runs the step at once.
    bool Due() const { return due_; }
    // `complete`: every piece is verified; `ageSeconds`: how long the run has
    // gone. The status is to be published after it.
    void Close(bool complete, uint32_t ageSeconds);

    // Writes held piece data out as soon as it fills the write window; at LAN
    // speeds the periodic write-back alone would let memory grow far past it.
    void KeepHeldDataBounded();
    // Saves once enough was fetched since the last save, so that a crash at
    // any moment costs at most about that much fetched again; every turn.
    void SaveAfterProgress();

    // Every 4 s of job clock: rank connections and derive their rates.
    bool RatesDue() const;
    // The sums of the connections' rates, taken at the refresh.
    void TakeRates(int64_t receive, int64_t send);
    // Counted once a second while the servers bring under 1 KiB/s: true when
    // the task's sources are to be added again.
    bool SourcesDueForReAdd(int64_t serverReceiveRate);

    void Reset();

private:
    void ScaleConnections();
    void PeriodicSave();
    // Writes finished pieces out and saves the status and the state file.
    void SaveProgress();
    void RefreshStatus(bool complete);
    void AnnounceHaves();
    // Once every piece is in, waiting for the periodic write-back would only delay the end.
    void WriteOutWhenAllHeld(bool complete);
    bool AllPiecesVerified() const;

    JobRecord& record_;
    TransferMeter& meter_;
    TurnPacing& pacing_;
    RecursiveMutex& jobLock_;
    ISecondStepJob& job_;

    bool due_ = true;
    int32_t currentDownloadSpeed_ = 0;
    int32_t currentUploadSpeed_ = 0;
    int32_t lowRateSeconds_ = 0;
    uint32_t lastSaveSecond_ = 0;
    int64_t fetchedAtLastSave_ = 0;
    uint32_t lastHeldScanTick_ = 0;
    uint32_t lastHaveSecond_ = 0;
    int64_t lastStatusRefresh_ = 0;
    int64_t lastRatesRefresh_ = 0;
    RemainingTimeEstimate remainingEstimate_;
    BytesLeftEstimate bytesLeft_;
};

}  // namespace veldmoor
