#include "engine/SecondStep.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/TaskApi.h"
#include "foundation/ClockThread.h"
#include "peers/BitTorrentWire.h"
#include "peers/TPeerObject.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr uint32_t kPeriodicSaveSeconds = 20;
// Half the most a crash may cost, leaving room for partial pieces and data in flight.
constexpr int64_t kSaveEveryFetchedBytes = int64_t{16} << 20;
constexpr int64_t kStatusRefreshSeconds = 6;
constexpr uint32_t kNoProgressLimitSeconds = 900;
constexpr uint32_t kHaveAnnounceSeconds = 8;
constexpr size_t kHavesPerBatch = 4097;
constexpr int64_t kLowRateBytes = 1024;
constexpr int32_t kLowRateSecondsBeforeReAdd = 15;
constexpr int32_t kMaxWriteWindowUnits = 8000;
constexpr uint32_t kHeldScanPeriodMs = 50;

int32_t ToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

SecondStep::SecondStep(JobRecord& record, TransferMeter& meter, TurnPacing& pacing, RecursiveMutex& jobLock,
                       ISecondStepJob& job)
    : record_(record), meter_(meter), pacing_(pacing), jobLock_(jobLock), job_(job) {}

void SecondStep::Close(bool complete, uint32_t ageSeconds) {
    due_ = false;
    JobStatusRecord& working = record_.Working();
    const TransferMeter::Second second = meter_.CloseSecond();
    const int64_t downloaded = complete ? second.payload : second.received;
    working.currentSpeed = complete ? 0 : SmoothedSpeed(working.currentSpeed, second.payload);
    working.receivedTotal += downloaded;
    working.sentTotal += second.sent;
    pacing_.Choose(complete ? second.sent : second.received);
    record_.RefreshJobClock();

    const int64_t age = std::max<int64_t>(ageSeconds, 1);
    if (!complete) working.averageDownloadRate = ToInt32(working.receivedTotal / age);
    working.averageUploadRate = ToInt32(working.sentTotal / age);
    const int64_t fetched = meter_.Fetched();
    remainingEstimate_.Record(platform::TickMs(), fetched);
    TPieces* pieces = job_.StepPieceMap();
    const bool mapReady = job_.StepPieceMapReady() && pieces;
    const int64_t bytesLeft = mapReady ? bytesLeft_.Update(pieces->TotalLength(), pieces->CompletedBytes(), fetched) : 0;
    working.remainingSeconds =
        (!complete || record_.CompletionTime() == 0) ? remainingEstimate_.SecondsFor(bytesLeft) : 0;
    ScaleConnections();

    if (pieces && pieces->PieceCount() > 0) {
        WriteOutWhenAllHeld(complete);
        PeriodicSave();
        RefreshStatus(complete);
    }
    AnnounceHaves();
}

void SecondStep::ScaleConnections() {
    record_.Settings().maxConnections = MaxConnectionsFor(currentDownloadSpeed_, currentUploadSpeed_);
    job_.StepSetUploadSlots(UploadSlotsFor(currentUploadSpeed_));
}

void SecondStep::PeriodicSave() {
    const uint32_t now = ClockSeconds();
    if (now - lastSaveSecond_ <= kPeriodicSaveSeconds) return;
    SaveProgress();
}

void SecondStep::SaveAfterProgress() {
    if (!job_.StepPieceMapReady() || !job_.StepPieceMap() || record_.Finished()) return;
    const int64_t fetched = meter_.Fetched();
    // The counters start again with every run.
    if (fetched < fetchedAtLastSave_) fetchedAtLastSave_ = 0;
    if (fetched - fetchedAtLastSave_ < kSaveEveryFetchedBytes) return;
    SaveProgress();
}

void SecondStep::SaveProgress() {
    lastSaveSecond_ = ClockSeconds();
    fetchedAtLastSave_ = meter_.Fetched();
    job_.StepPieceMap()->Flush(false, true);
    if (!record_.Finished()) job_.StepCheckComplete();
    if (record_.Finished())
        platform::DeleteFileAt(record_.StateFilePath());
    else
        record_.SaveState(record_.StateFilePath());
}

void SecondStep::RefreshStatus(bool complete) {
    const int64_t now = record_.JobClock();
    if (std::llabs(now - lastStatusRefresh_) < kStatusRefreshSeconds) return;
    TPieces* pieces = job_.StepPieceMap();
    {
        ScopedLock guard(jobLock_);
        pieces->SetWriteWindow(std::min(kMaxWriteWindowUnits, std::max(record_.Settings().writeWindowUnits, 4)));
        pieces->SetSaveStatus(true);
        job_.StepPublish();
        const uint32_t seconds = ClockSeconds();
        const uint32_t lastChange = pieces->ChangeTime() != 0 ? static_cast<uint32_t>(pieces->ChangeTime()) : seconds;
        if (!complete && seconds - lastChange >= kNoProgressLimitSeconds) {
            // Nothing became done for 15 minutes: give up visibly rather than silently.
            record_.SetStatusCode(kStatusSourcesFailed);
            job_.StepGiveUp("no piece was completed in " + std::to_string(kNoProgressLimitSeconds / 60) + " minutes",
                            "the download stops");
        }
    }
    pieces->WriteBack();
    pieces->CloseFiles();
    lastStatusRefresh_ = now;
}

void SecondStep::KeepHeldDataBounded() {
    TPieces* pieces = job_.StepPieceMap();
    if (!job_.StepPieceMapReady() || !pieces) return;
    pieces->CollectWrittenPieces();
    if (pieces->HeldBytes() >= pieces->WriteWindowBytes()) pieces->WriteBack();
    // The last pieces are written as soon as they are all in; the scan runs
    // at most every 50 ms.
    const uint32_t tick = platform::TickMs();
    if (tick - lastHeldScanTick_ < kHeldScanPeriodMs) return;
    lastHeldScanTick_ = tick;
    WriteOutWhenAllHeld(AllPiecesVerified());
}

void SecondStep::WriteOutWhenAllHeld(bool complete) {
    TPieces* pieces = job_.StepPieceMap();
    if (complete || !job_.StepPieceMapReady() || !pieces || pieces->HeldBytes() == 0) return;
    if (pieces->HoldsEveryWantedPiece()) pieces->Flush(false, false);
}

bool SecondStep::AllPiecesVerified() const {
    const JobStatusRecord& working = record_.Working();
    return working.pieceCount > 0 && working.piecesVerified >= working.pieceCount;
}

void SecondStep::AnnounceHaves() {
    const uint32_t now = ClockSeconds();
    std::vector<int32_t>& pendingHaves = job_.StepPendingHaves();
    if (pendingHaves.empty() || now - lastHaveSecond_ < kHaveAnnounceSeconds) return;
    lastHaveSecond_ = now;
    std::vector<QSocket*> connections;
    for (TPeerObject* peer : job_.StepConnections()) {
        if (peer && peer->Kind() == kPeerBitTorrent && peer->IsEstablished()) connections.push_back(peer->Connection());
    }
    // With no peer connected the queue still empties: later peers learn the
    // pieces from the bitfield after their handshake.
    std::vector<uint8_t> batch;
    for (size_t first = 0; first < pendingHaves.size() && !connections.empty(); first += kHavesPerBatch) {
        const size_t end = std::min(pendingHaves.size(), first + kHavesPerBatch);
        batch.clear();
        for (size_t i = first; i < end; ++i) {
            const HaveMessage have = BuildHave(static_cast<uint32_t>(pendingHaves[i]));
            batch.insert(batch.end(), have.begin(), have.end());
        }
        for (QSocket* connection : connections) {
            // A connection that fails here is closed; its next step ends it.
            if (connection->IsOpen()) connection->Send(batch.data(), static_cast<int>(batch.size()));
        }
    }
    pendingHaves.clear();
}

bool SecondStep::SourcesDueForReAdd(int64_t serverReceiveRate) {
    if (serverReceiveRate >= kLowRateBytes) {
        lowRateSeconds_ = 0;
        return false;
    }
    if (lowRateSeconds_ < kLowRateSecondsBeforeReAdd) {
        ++lowRateSeconds_;
        return false;
    }
    lowRateSeconds_ = 0;
    return true;
}

bool SecondStep::RatesDue() const {
    const int64_t now = record_.JobClock();
    return now - lastRatesRefresh_ > 3 || now < lastRatesRefresh_;
}

void SecondStep::TakeRates(int64_t receive, int64_t send) {
    lastRatesRefresh_ = record_.JobClock();
    currentDownloadSpeed_ = ToInt32(receive);
    currentUploadSpeed_ = ToInt32(send);
}

void SecondStep::Reset() {
    lowRateSeconds_ = 0;
    currentDownloadSpeed_ = currentUploadSpeed_ = 0;
    remainingEstimate_.Clear();
    bytesLeft_ = BytesLeftEstimate{};
    lastRatesRefresh_ = 0;
    lastStatusRefresh_ = 0;
    due_ = true;
}

}  // namespace veldmoor
