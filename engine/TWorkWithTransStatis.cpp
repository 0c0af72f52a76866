#include "engine/TWorkWithTransStatis.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/TransferRules.h"
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

TWorkWithTransStatis::TWorkWithTransStatis(EngineState& engine) : TWorkWithPieces(engine) {}

int64_t TWorkWithTransStatis::SumPeerRate(int32_t kindMask) const {
    int64_t sum = 0;
    for (const TPeerObject* peer : Peers())
        if (peer && (peer->Kind() & kindMask)) sum += peer->ReceiveRate();
    return sum;
}

void TWorkWithTransStatis::CountDelivered(int32_t kind, int32_t bytes) {
    meter_.CountDelivered(kind == kPeerBitTorrent, bytes);
}

void TWorkWithTransStatis::AddUploaded(int32_t bytes) {
    record_.Working().uploadedPayload += bytes;
    meter_.CountUploaded(bytes);
}

void TWorkWithTransStatis::TickSecond(bool complete) {
    secondStepDue_ = false;
    const TransferMeter::Second second = meter_.CloseSecond();
    const int64_t downloaded = complete ? second.payload : second.received;
    record_.Working().currentSpeed = complete ? 0 : SmoothedSpeed(record_.Working().currentSpeed, second.payload);
    record_.Working().receivedTotal += downloaded;
    record_.Working().sentTotal += second.sent;
    pacing_.Choose(complete ? second.sent : second.received);
    record_.RefreshJobClock();

    const int64_t age = std::max<int64_t>(Age(), 1);
    if (!complete) record_.Working().averageDownloadRate = ToInt32(record_.Working().receivedTotal / age);
    record_.Working().averageUploadRate = ToInt32(record_.Working().sentTotal / age);
    const int64_t fetched = meter_.Fetched();
    remainingEstimate_.Record(platform::TickMs(), fetched);
    const bool mapReady = pieceMapReady_ && pieces_;
    const int64_t bytesLeft = mapReady ? bytesLeft_.Update(pieces_->TotalLength(), pieces_->CompletedBytes(), fetched) : 0;
    record_.Working().remainingSeconds = (!complete || record_.CompletionTime() == 0) ? remainingEstimate_.SecondsFor(bytesLeft) : 0;
    ScaleConnections();


    if (pieces_ && pieces_->PieceCount() > 0) {
        WriteOutWhenAllHeld(complete);
        PeriodicSave();
        RefreshStatus(complete);
    }
    AnnounceHaves();
    if (complete) {
        // A seeding job still announces to its trackers and takes peers that
        // want pieces; only the sources are done with.
        ConnectPeers();
        return;
    }

    ConnectSources();
    ConnectPeers();
    ApplyLowRateRule();
    RotateSources();
}

void TWorkWithTransStatis::ScaleConnections() {
    record_.Settings().maxConnections = MaxConnectionsFor(currentDownloadSpeed_, currentUploadSpeed_);
    uploadSlots_ = UploadSlotsFor(currentUploadSpeed_);
}

void TWorkWithTransStatis::PeriodicSave() {
    const uint32_t now = ClockSeconds();
    if (now - lastSaveSecond_ <= kPeriodicSaveSeconds) return;
    SaveProgress();
}

void TWorkWithTransStatis::SaveAfterProgress() {
    if (!pieceMapReady_ || !pieces_ || record_.Finished()) return;
    const int64_t fetched = meter_.Fetched();
    // The counters start again with every run.
    if (fetched < fetchedAtLastSave_) fetchedAtLastSave_ = 0;
    if (fetched - fetchedAtLastSave_ < kSaveEveryFetchedBytes) return;
    SaveProgress();
}

void TWorkWithTransStatis::SaveProgress() {
    lastSaveSecond_ = ClockSeconds();
    fetchedAtLastSave_ = meter_.Fetched();
    pieces_->Flush(false, true);
    if (!record_.Finished()) CheckComplete(0);
    if (record_.Finished())
        platform::DeleteFileAt(record_.StateFilePath());
    else
        record_.SaveState(record_.StateFilePath());
}

void TWorkWithTransStatis::RefreshStatus(bool complete) {
    const int64_t now = record_.JobClock();
    if (std::llabs(now - lastStatusRefresh_) < kStatusRefreshSeconds) return;
    {
        ScopedLock guard(Lock());
        pieces_->SetWriteWindow(std::min(kMaxWriteWindowUnits, std::max(record_.Settings().writeWindowUnits, 4)));
        pieces_->SetSaveStatus(true);
        Publish(true, false);
        const uint32_t seconds = ClockSeconds();
        const uint32_t lastChange = pieces_->ChangeTime() != 0 ? static_cast<uint32_t>(pieces_->ChangeTime()) : seconds;
        if (!complete && seconds - lastChange >= kNoProgressLimitSeconds) {
            // Nothing became done for 15 minutes: give up visibly rather than silently.
            NoteSourceProblem({}, "no piece was completed in " + std::to_string(kNoProgressLimitSeconds / 60) + " minutes",
                              "the download stops");
            record_.SetStatusCode(20214);
            RequestStop();
        }
    }
    pieces_->WriteBack();
    pieces_->CloseFiles();
    lastStatusRefresh_ = now;
}

void TWorkWithTransStatis::KeepHeldDataBounded() {
    if (!pieceMapReady_ || !pieces_) return;
    pieces_->CollectWrittenPieces();
    if (pieces_->HeldBytes() >= pieces_->WriteWindowBytes()) pieces_->WriteBack();
    // The last pieces are written as soon as they are all in; the scan runs
    // at most every 50 ms.
    const uint32_t tick = platform::TickMs();
    if (tick - lastHeldScanTick_ < kHeldScanPeriodMs) return;
    lastHeldScanTick_ = tick;
    WriteOutWhenAllHeld(IsComplete());
}

void TWorkWithTransStatis::WriteOutWhenAllHeld(bool complete) {
    if (complete || !pieceMapReady_ || !pieces_ || pieces_->HeldBytes() == 0) return;
    if (pieces_->HoldsEveryWantedPiece()) pieces_->Flush(false, false);
}

void TWorkWithTransStatis::AnnounceHaves() {
    const uint32_t now = ClockSeconds();
    if (pendingHaves_.empty() || now - lastHaveSecond_ < kHaveAnnounceSeconds) return;
    lastHaveSecond_ = now;
    std::vector<QSocket*> connections;
    for (TPeerObject* peer : Peers()) {
        if (peer && peer->Kind() == kPeerBitTorrent && peer->IsEstablished()) connections.push_back(peer->Connection());
    }
    // With no peer connected the queue still empties: later peers learn the
    // pieces from the bitfield after their handshake.
    std::vector<uint8_t> batch;
    for (size_t first = 0; first < pendingHaves_.size() && !connections.empty(); first += kHavesPerBatch) {
        const size_t end = std::min(pendingHaves_.size(), first + kHavesPerBatch);
        batch.clear();
        for (size_t i = first; i < end; ++i) {
            const HaveMessage have = BuildHave(static_cast<uint32_t>(pendingHaves_[i]));
            batch.insert(batch.end(), have.begin(), have.end());
        }
        for (QSocket* connection : connections) {
            // A connection that fails here is closed; its next step ends it.
            if (connection->IsOpen()) connection->Send(batch.data(), static_cast<int>(batch.size()));
        }
    }
    pendingHaves_.clear();
}

void TWorkWithTransStatis::ApplyLowRateRule() {
    if (SumPeerRate(kPeerServer) >= kLowRateBytes) {
        lowRateSeconds_ = 0;
        return;
    }
    if (lowRateSeconds_ >= kLowRateSecondsBeforeReAdd) {
        ReAddSources();
        lowRateSeconds_ = 0;
    } else {
        ++lowRateSeconds_;
    }
}

bool TWorkWithTransStatis::RatesDue() const {
    const int64_t now = record_.JobClock();
    return forceRatesRefresh_ || now - lastRatesRefresh_ > 3 || now < lastRatesRefresh_;
}

void TWorkWithTransStatis::RefreshRates() {
    lastRatesRefresh_ = record_.JobClock();
    ++ratesRefreshCount_;
    RankPeers();
    const PeerRateTotals rates = TakePeerRates();
    currentDownloadSpeed_ = ToInt32(rates.receive);
    currentUploadSpeed_ = ToInt32(rates.send);
    RunPeerUpkeep();
    forceRatesRefresh_ = false;
}

void TWorkWithTransStatis::Reset(bool clearFiles, bool b) {
    TWorkWithPieces::Reset(clearFiles, b);
    lowRateSeconds_ = 0;
    meter_.Reset();
    pacing_.Reset();
    currentDownloadSpeed_ = currentUploadSpeed_ = 0;
    remainingEstimate_.Clear();
    bytesLeft_ = BytesLeftEstimate{};
    lastRatesRefresh_ = 0;
    lastStatusRefresh_ = 0;
    secondStepDue_ = true;
}

}  // namespace veldmoor
