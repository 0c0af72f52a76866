#include "engine/TWorkThread.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/EngineState.h"
#include "engine/FileQueries.h"
#include "engine/ScopedTryLock.h"
#include "engine/TransferRules.h"
#include "engine/UdpServiceHooks.h"
#include "foundation/AsciiText.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/ClockThread.h"
#include "peers/TPeerObject.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {

constexpr int64_t kFeedPeriodSeconds = 15;
constexpr int64_t kAnnouncePeriodSeconds = 10;
constexpr uint32_t kExhaustionAgeSeconds = 15;
constexpr uint32_t kDispatchPeriodMs = 400;
constexpr uint32_t kSecondMs = 1000;
constexpr uint32_t kTrackersOnlyIdleMs = 60000;
constexpr uint32_t kTrackersOnlyExtraSleepMs = 200;
constexpr const char* kFileScheme = "file://";

}  // namespace

TWorkThread::TWorkThread(EngineState& engine)
    : engine_(engine),
      membership_(engine, *this),
      record_(Lock()),
      pieces_(engine, record_, peerSet_, *this, *this),
      peerSet_(engine, record_, *this, *this, pieces_),
      step_(record_, meter_, pacing_, Lock(), *this) {
    Reset(false, false);
}

TWorkThread::~TWorkThread() {
    Stop(true);
    Reset(true, true);
}

int TWorkThread::StartDownload() { return Start("StartDownload") ? kResultOk : kResultFailed; }

int TWorkThread::ContinueDownload() {
    record_.LoadState(record_.StateFilePath());
    return Start("ContinueDownload") ? kResultOk : kResultFailed;
}

int TWorkThread::StopDownload() { return Stop(true) ? kResultOk : kResultFailed; }

int TWorkThread::PauseDownload() { return Pause(true) ? kResultOk : kResultFailed; }

int TWorkThread::ResumeDownload() { return StartDownload(); }

int TWorkThread::RestartDownload() {
    VeldmoorLog().Write("Download Restarted..", 2, 2);
    if (!Stop(true)) return kResultFailed;
    std::string target;
    if (!GetFileName(0, 3, target)) target = record_.TargetFile();
    if (!target.empty()) {
        for (const char* suffix : {"", ".vmtmp", ".vminfo", ".vminfodf"}) platform::DeleteFileAt(target + suffix);
    }
    platform::DeleteFileAt(record_.StateFilePath());
    {
        ScopedLock guard(Lock());
        record_.Clear();
    }
    Reset(true, true);
    return ResumeDownload();
}

void TWorkThread::Run() {
    // Every lock of the run is a scoped guard, so an exception that gets here
    // has released them all on its way.
    try {
        RunLoop();
    } catch (...) {
        // The run is lost, its progress need not be: keep what the state file can hold.
        try {
            record_.SaveState(record_.StateFilePath());
        } catch (...) {
        }
        ShowRunFailed();
    }
}

void TWorkThread::ShowRunFailed() {
    // Left as it was, the status would read "normal" for a job that no longer
    // runs: the caller would wait forever instead of offering a retry.
    try {
        ScopedLock guard(Lock());
        record_.SetRunState(kRunStopped);
        if (!record_.Finished()) record_.SetStatusCode(kStatusSourcesFailed);
        PublishLocked(false, false);
    } catch (...) {
    }
}

void TWorkThread::RunLoop() {
    record_.LoadState(record_.StateFilePath());
    if (!Prepare()) {
        peerSet_.ForgetMissingHosts();
        return;
    }

    {
        ScopedLock guard(Lock());
        record_.SetRunState(kRunRunning);
        // The first connection round then finds the sources at once.
        peerSet_.FeedSources();
        lastFeed_ = record_.JobClock();
        lastAnnounce_ = 0;
        turnCounter_ = 0;
        sourcesFailed_ = false;
        noSize_ = false;
        lastSupplyCheck_ = 0;
        peerSet_.ClearSourceNotes();
    }

    // Each step holds the job's lock, which API calls take to read and change
    // job state; stop checks stay outside it, so a paused job parks unlocked.
    for (;;) {
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (CheckComplete(record_.JobClock())) {
                VeldmoorLog().Write(ThreadTag() + record_.TargetFile() + " is Download Complete", 23, 23);
                break;
            }
            TakeOnDiskSize();
        }
        if (CheckStop()) break;

        const int64_t now = OnTurn();
        {
            ScopedLock guard(Lock());
            if (std::llabs(now - lastFeed_) >= kFeedPeriodSeconds) {
                peerSet_.FeedSources();
                lastFeed_ = now;
            }
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            pieces_.SettleSourceFileSize();
            pieces_.GiveUpSourcesOfAnotherSize();
            const bool sizeKnown = pieces_.HasPieceMap() && record_.Working().totalBytes > 0;
            if (!sizeKnown && Age() > static_cast<uint32_t>(record_.Settings().startupLimitSeconds)) {
                noSize_ = true;
                break;
            }
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (CheckComplete(now)) break;
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (SourcesExhausted() || PieceBeyondEverySource(now)) {
                sourcesFailed_ = true;
                record_.ResetSourceLineStates();
                break;
            }
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            pieces_.TrimSchedulingPools(turnCounter_ % 4 == 0);
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (pieces_.RebuildPending()) pieces_.RebuildIfPending();
            pieces_.StartOverIfPending();
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (std::llabs(now - lastAnnounce_) >= kAnnouncePeriodSeconds) {
                lastAnnounce_ = now;
                peerSet_.ExchangeLocalAnnouncements();
            }
        }
        turnsDone_.fetch_add(1, std::memory_order_acq_rel);
    }
    FinishRun();
}

void TWorkThread::FinishRun() {
    peerSet_.ForgetMissingHosts();
    ScopedLock guard(Lock());
    if (!record_.Finished()) CheckComplete(ClockNow());
    record_.ResetSourceLineStates();
    Reset(false, false);
    if (!record_.Finished())
        record_.SaveState(record_.StateFilePath());
    else
        platform::DeleteFileAt(record_.StateFilePath());

    record_.SetRunState(kRunStopped);
    if (!record_.Finished()) {
        if (sourcesFailed_)
            record_.SetStatusCode(kStatusSourcesFailed);
        else if (noSize_)
            record_.SetStatusCode(kStatusNoFileSize);
    }
    Publish(true, false);
    Reset(false, false);
}

bool TWorkThread::Prepare() {
    ScopedLock guard(Lock());
    TakeOnDiskSize();
    if (record_.IsTorrentTask() && !record_.SourceText().empty()) {
        record_.SetRunState(kRunStopped);
        const std::string savedTorrent = record_.SavedTexts().torrent;
        const bool savedTorrentChanged = record_.SavedTexts().torrentChanged;
        if (StartsWithNoCase(record_.SourceText(), kFileScheme) && !ReadTorrentSource()) {
            record_.SetStatusCode(kStatusBadTorrentFile);
            RequestStop();
        }
        if (!pieces_.BuildFromTorrent() && record_.Working().statusCode == kStatusBadTorrentFile) {
            // A torrent we refused never goes into the state file.
            record_.SavedTexts().torrent = savedTorrent;
            record_.SavedTexts().torrentChanged = savedTorrentChanged;
        }
        record_.SetRunState(kRunRunning);
    }
    return record_.Kind() == TaskKind::Http || pieces_.HasPieceMap() || !record_.SourceLines().empty();
}

bool TWorkThread::ReadTorrentSource() {
    platform::BoundedRead read =
        platform::ReadFileUpTo(record_.SourceText().substr(std::strlen(kFileScheme)), kMaxTorrentFileBytes);
    const std::string& bytes = read.bytes;
    if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) return false;
    if (record_.SavedTexts().torrent != bytes) {
        record_.SavedTexts().torrent = std::move(read.bytes);
        record_.SavedTexts().torrentChanged = true;
    }
    return true;
}

void TWorkThread::TakeOnDiskSize() {
    if (record_.TargetFile().empty()) return;
    const int64_t size = AllocatedSizeOf(record_.TargetFile());
    if (size > 0) record_.Working().onDiskSize = size;
}

int64_t TWorkThread::OnTurn() {
    uint32_t sleepMs = 0;
    {
        ScopedLock guard(Lock());
        sleepMs = WorkOneTurn();
        turnWait_.Collect(peerSet_.Peers(), DownloadBudget() > 0);
    }
    turnWait_.Pause(sleepMs);
    return record_.JobClock();
}

uint32_t TWorkThread::WorkOneTurn() {
    pieces_.ServeQueuedReads();
    RunPeerProcessing();
    step_.KeepHeldDataBounded();
    step_.SaveAfterProgress();

    // A finished download that only talks to trackers has little to do.
    const uint32_t tick = platform::TickMs();
    const bool allVerified = IsComplete();
    if (!allVerified || !peerSet_.Peers().empty()) onlyTrackersSinceTick_ = tick;
    const uint32_t idleSleepMs =
        allVerified && tick - onlyTrackersSinceTick_ > kTrackersOnlyIdleMs ? kTrackersOnlyExtraSleepMs : 0;

    if (publishPending_) {
        ScopedTryLock guard(Lock());
        if (guard.IsLocked()) {
            Publish(true, false);
            Refresh();
            publishPending_ = false;
        }
    }
    if (step_.RatesDue()) RefreshRates();
    return idleSleepMs + pacing_.TurnSleepMs();
}

void TWorkThread::RunPeerProcessing() {
    waitingUploads_ = 0;
    const uint32_t tick = platform::TickMs();
    if (tick - lastDispatchTick_ >= kDispatchPeriodMs) {
        peerSet_.DispatchIncoming();
        lastDispatchTick_ = tick;
    }
    int32_t extraUploads = 0;  // E
    bool fullTurn = false;
    if (step_.Due() || tick - lastSecondTick_ >= kSecondMs) {
        turnCounter_ = 0;
        CloseSecond(IsComplete());
        publishPending_ = true;
        lastSecondTick_ = tick;
        fullTurn = true;
        extraUploads = std::max(peerSet_.UploadSlots() / 6, 1);
    } else {
        fullTurn = turnCounter_ % static_cast<uint32_t>(pacing_.SlowPeerPeriod()) == 0;
    }
    StepPeers(fullTurn, extraUploads);
    if (!pieces_.HasPieceMap()) {
        peerSet_.ConnectSources();
        peerSet_.ConnectPeers();
    } else if (peerSet_.NewPeersWaiting()) {
        peerSet_.ConnectPeers();
    }
    ++turnCounter_;
}

void TWorkThread::StepPeers(bool fullTurn, int32_t extraUploads) {
    const bool complete = IsComplete();
    const auto activeRate = [complete](const TPeerObject& peer) {
        return PeerStepRate(complete, peer.ReceiveRate(), peer.SendRate(), peer.HasUploadsWaiting());
    };
    // Steps may end connections; walk a copy of the list.
    const std::vector<TPeerObject*> firstPass = peerSet_.Peers();
    for (TPeerObject* peer : firstPass) {
        if (!peer) continue;
        const bool hasInput = turnWait_.HadInput(peer);
        if (fullTurn || activeRate(*peer) >= kFastPeerRate || hasInput) {
            if (peer->Tick())
                meter_.CountStep(peer->StepReceived(), peer->StepSent());
            else
                peerSet_.EndFailedPeer(peer, 0);
        } else if (peer->Kind() == kPeerBitTorrent && peer->IsEstablished() && peer->Connection() &&
                   peer->Connection()->OutputSize() > 0) {
            CountWaitingUpload();
        }
    }
    const int32_t allowance = std::max(waitingUploads_, peerSet_.UploadSlots());
    const uint32_t phase = turnCounter_ % static_cast<uint32_t>(pacing_.SecondPassPeriod());
    const std::vector<TPeerObject*> secondPass = peerSet_.Peers();
    for (TPeerObject* peer : secondPass) {
        if (!peer || peer->Kind() != kPeerBitTorrent) continue;
        const bool due = activeRate(*peer) >= kFastPeerRate || (phase == 0 && (extraUploads > 0 || turnCounter_ >= 18));
        if (!due) continue;
        if (!peer->UploadTick()) {
            peerSet_.EndFailedPeer(peer, 0);
            continue;
        }
        meter_.CountStep(peer->StepReceived(), peer->StepSent());
        if (waitingUploads_ >= extraUploads + allowance) break;
    }
}

void TWorkThread::CloseSecond(bool complete) {
    step_.Close(complete, Age());
    if (complete) {
        // A seeding job still announces to its trackers and takes peers that
        // want pieces; only the sources are done with.
        peerSet_.ConnectPeers();
        return;
    }
    peerSet_.ConnectSources();
    peerSet_.ConnectPeers();
    if (step_.SourcesDueForReAdd(SumPeerRate(kPeerServer))) peerSet_.ReAddSources();
    peerSet_.RotateSources();
}

void TWorkThread::RefreshRates() {
    peerSet_.RankPeers();
    const PeerRateTotals rates = peerSet_.TakePeerRates();
    step_.TakeRates(rates.receive, rates.send);
    peerSet_.RunPeerUpkeep();
}

int64_t TWorkThread::SumPeerRate(int32_t kindMask) const {
    int64_t sum = 0;
    for (const TPeerObject* peer : peerSet_.Peers())
        if (peer && (peer->Kind() & kindMask)) sum += peer->ReceiveRate();
    return sum;
}

void TWorkThread::CountDelivered(int32_t kind, int32_t bytes) {
    meter_.CountDelivered(kind == kPeerBitTorrent, bytes);
}

void TWorkThread::AddUploaded(int32_t bytes) {
    record_.Working().uploadedPayload += bytes;
    meter_.CountUploaded(bytes);
}

void TWorkThread::StepGiveUp(const std::string& reason, const std::string& consequence) {
    peerSet_.NoteSourceProblem({}, reason, consequence);
    RequestStop();
}

bool TWorkThread::SourcesExhausted() {
    return record_.Working().currentSpeed == 0 && Age() > kExhaustionAgeSeconds &&
           (record_.Kind() == TaskKind::Http || !pieces_.HasPieceMap()) && peerSet_.CandidateCount() == 0;
}

bool TWorkThread::PieceBeyondEverySource(int64_t now) {
    if (now == lastSupplyCheck_) return false;
    lastSupplyCheck_ = now;
    bool serversLeft = false;
    const int32_t piece = pieces_.PieceNoSourceCanSupply(serversLeft);
    if (piece < 0) return false;
    peerSet_.NoteSourceProblem({}, serversLeft ? "piece " + std::to_string(piece) + " failed its check from every source"
                                      : "every source was given up with piece " + std::to_string(piece) + " missing",
                      "no source is left to supply it");
    return true;
}

bool TWorkThread::CheckComplete(int64_t now) {
    if (now == 0) now = ClockNow();
    bool complete = record_.Working().pieceCount > 0 && record_.Working().piecesVerified >= record_.Working().pieceCount;
    if (complete && record_.CompletionTime() == 0) {
        record_.SetCompletionTime(now);
        if (record_.Working().runState != kRunParsing) {
            Refresh();
            complete = record_.Working().pieceCount > 0 && record_.Working().piecesVerified >= record_.Working().pieceCount;
        }
        if (complete) {
            record_.SetFinished(true);
            // The finished record shows the file as it now lies on disk.
            record_.Working().currentSpeed = 0;
            record_.Working().remainingSeconds = 0;
            TakeOnDiskSize();
            Publish(false, false);
        }
    }
    if (complete && now > 0) {
        if (record_.Kind() == TaskKind::Http && !record_.Working().hold && record_.Working().completedBytes >= record_.Working().wantedBytes) return true;
        if (record_.Settings().seedingHours > 0 && (now - record_.CompletionTime()) / 3600 >= record_.Settings().seedingHours) {
            record_.Working().hold = false;
            return true;
        }
    }
    if (!complete) record_.SetCompletionTime(0);
    return false;
}

void TWorkThread::Publish(bool flush, bool force) {
    if (force) {
        ScopedLock guard(Lock());
        PublishLocked(flush, force);
        return;
    }
    // Status queries hold the lock only briefly; a busy lock means the next publish.
    ScopedTryLock guard(Lock());
    if (guard.IsLocked()) PublishLocked(flush, force);
}

void TWorkThread::PublishLocked(bool flush, bool force) {
    if (flush) {
        pieces_.PublishPieceState(force);
    }
    record_.Working().bytesFromSources = meter_.FromSources();
    record_.Working().bytesFromPeers = meter_.FromPeers();
    record_.Published() = record_.Working();
    // Until the first whole second is counted, the bytes of this second are
    // the best figure there is: a status showing data arrive at no speed is wrong.
    const int64_t payload = meter_.ThisSecond().payload;
    if (record_.Published().currentSpeed == 0 && payload > 0 && !IsComplete())
        record_.Published().currentSpeed = static_cast<int32_t>(std::min<int64_t>(payload, INT32_MAX));
}

TaskReport TWorkThread::Report() {
    ScopedLock guard(Lock());
    TaskReport report;
    report.name = record_.Published().name;
    report.progressPermyriad = ProgressPermyriad(record_.Published().completedBytes, record_.Published().totalBytes);

    JobStatus code = static_cast<JobStatus>(record_.Published().statusCode);
    if (IsPaused() && (code == kStatusNormal || code == kStatusWaiting)) code = kStatusPaused;
    if (code == kStatusNormal && report.progressPermyriad > 9999) code = kStatusComplete;
    report.status = code;
    if (code == kStatusPaused && record_.Published().currentSpeed != 0) {
        record_.Published().currentSpeed = 0;
        record_.Published().remainingSeconds = 0;
    }
    report.speed = record_.Published().currentSpeed;
    if (record_.Published().remainingSeconds > 0) report.remainingSeconds = record_.Published().remainingSeconds;
    if (record_.Published().totalBytes > 0) report.totalBytes = record_.Published().totalBytes;
    report.fromSources = record_.Published().bytesFromSources;
    report.fromPeers = record_.Published().bytesFromPeers;
    report.onDisk = record_.Published().onDiskSize;
    return report;
}

int TWorkThread::IsComplete() {
    ScopedLock guard(Lock());
    return ProgressPermyriad(record_.Published().completedBytes, record_.Published().totalBytes) > 9999 ? 1 : 0;
}

void TWorkThread::SetLimit(LimitDirection direction, SpeedLimit limit) {
    ScopedLock guard(Lock());
    meter_.SetLimit(direction, limit);
}

int TWorkThread::CopyBitfield(uint8_t* buffer, int length) {
    ScopedLock guard(Lock());
    const std::vector<uint8_t>& published = pieces_.PublishedBits();
    const int size = static_cast<int>(published.size());
    // Before the map is known there is nothing to copy, and memcpy takes no null source.
    if (size > 0 && length > 0)
        std::memcpy(buffer, published.data(), static_cast<size_t>(std::min(length, size)));
    return std::min(size * 8, record_.Published().pieceCount);
}

bool TWorkThread::WantsUdpPeers() const {
    // The engine view is this thread's copy of the engine flags, taken each turn.
    return !peerSet_.View().udpServiceOff && !peerSet_.View().reachableFromOutside && UdpServicePublicAddress().has_value();
}

TPeerObject* TWorkThread::MakePeer(int32_t kind) { return peerSet_.MakePooledPeer(kind); }

void TWorkThread::Reset(bool clearFiles, bool /*b*/) {
    record_.Reset();
    peerSet_.Reset();
    pieces_.Reset(clearFiles);
    meter_.Reset();
    pacing_.Reset();
    step_.Reset();
    record_.Working().receivedTotal = 0;
    record_.Working().sentTotal = 0;
    record_.Working().currentSpeed = 0;
    record_.Working().remainingSeconds = 0;
    onlyTrackersSinceTick_ = 0;
    turnCounter_ = 0;
    lastDispatchTick_ = 0;
    lastSecondTick_ = 0;
    publishPending_ = false;
}

}  // namespace veldmoor
