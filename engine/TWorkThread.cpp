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
#include "peers/StreamSocketOps.h"
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

TWorkThread::TWorkThread(EngineState& engine) : TWorkWithTransStatis(engine) { Reset(false, false); }

TWorkThread::~TWorkThread() {
    Stop(true);
    Reset(true, true);
    if (transportWake_) streamops::UnwatchTransports(transportWake_.get());
}

int TWorkThread::StartDownload() { return Start("StartDownload") ? kResultOk : kResultFailed; }

int TWorkThread::ContinueDownload() {
    LoadState(StateFilePath());
    return Start("ContinueDownload") ? kResultOk : kResultFailed;
}

int TWorkThread::StopDownload() { return Stop(true) ? kResultOk : kResultFailed; }

int TWorkThread::PauseDownload() { return Pause(true) ? kResultOk : kResultFailed; }

int TWorkThread::ResumeDownload() { return StartDownload(); }

int TWorkThread::RestartDownload() {
    VeldmoorLog().Write("Download Restarted..", 2, 2);
    if (!Stop(true)) return kResultFailed;
    std::string target;
    if (!GetFileName(0, 3, target)) target = TargetFile();
    if (!target.empty()) {
        for (const char* suffix : {"", ".vmtmp", ".vminfo", ".vminfodf"}) platform::DeleteFileAt(target + suffix);
    }
    platform::DeleteFileAt(StateFilePath());
    {
        ScopedLock guard(Lock());
        working_ = JobStatusRecord{};
        published_ = JobStatusRecord{};
        completionTime_ = 0;
        finished_ = false;
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
            SaveState(StateFilePath());
        } catch (...) {
        }
    }
}

void TWorkThread::RunLoop() {
    LoadState(StateFilePath());
    if (!Prepare()) {
        ForgetMissingHosts();
        return;
    }

    {
        ScopedLock guard(Lock());
        SetRunState(kRunRunning);
        // The first connection round then finds the sources at once.
        FeedSources();
        lastFeed_ = JobClock();
        lastAnnounce_ = 0;
        turnCounter_ = 0;
        sourcesFailed_ = false;
        noSize_ = false;
        lastSupplyCheck_ = 0;
        ClearSourceNotes();
    }

    // Each step holds the job's lock, which API calls take to read and change
    // job state; stop checks stay outside it, so a paused job parks unlocked.
    for (;;) {
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (CheckComplete(JobClock())) {
                VeldmoorLog().Write(ThreadTag() + TargetFile() + " is Download Complete", 23, 23);
                break;
            }
            TakeOnDiskSize();
        }
        if (CheckStop()) break;

        const int64_t now = OnTurn();
        {
            ScopedLock guard(Lock());
            if (std::llabs(now - lastFeed_) >= kFeedPeriodSeconds) {
                FeedSources();
                lastFeed_ = now;
            }
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            SettleSourceFileSize();
            GiveUpSourcesOfAnotherSize();
            const bool sizeKnown = HasPieceMap() && working_.totalBytes > 0;
            if (!sizeKnown && Age() > static_cast<uint32_t>(settings_.startupLimitSeconds)) {
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
                ResetSourceLineStates();
                break;
            }
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            TrimSchedulingPools(turnCounter_ % 4 == 0);
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (rebuildPending_) RebuildIfPending();
            StartOverIfPending();
        }
        if (CheckStop()) break;
        {
            ScopedLock guard(Lock());
            if (std::llabs(now - lastAnnounce_) >= kAnnouncePeriodSeconds) {
                lastAnnounce_ = now;
                ExchangeLocalAnnouncements();
            }
        }
        turnsDone_.fetch_add(1, std::memory_order_acq_rel);
    }
    FinishRun();
}

void TWorkThread::FinishRun() {
    ForgetMissingHosts();
    ScopedLock guard(Lock());
    if (!finished_) CheckComplete(ClockNow());
    ResetSourceLineStates();
    Reset(false, false);
    if (!finished_)
        SaveState(StateFilePath());
    else
        platform::DeleteFileAt(StateFilePath());

    SetRunState(kRunStopped);
    if (!finished_) {
        if (sourcesFailed_)
            SetStatusCode(kStatusSourcesFailed);
        else if (noSize_)
            SetStatusCode(kStatusNoFileSize);
    }
    Publish(true, false);
    Reset(false, false);
}

bool TWorkThread::Prepare() {
    ScopedLock guard(Lock());
    TakeOnDiskSize();
    if (IsTorrentTask() && !SourceText().empty()) {
        SetRunState(kRunStopped);
        const std::string savedTorrent = savedTexts_.torrent;
        const bool savedTorrentChanged = savedTexts_.torrentChanged;
        if (StartsWithNoCase(SourceText(), kFileScheme) && !ReadTorrentSource()) {
            SetStatusCode(kStatusBadTorrentFile);
            RequestStop();
        }
        if (!BuildFromTorrent() && working_.statusCode == kStatusBadTorrentFile) {
            // A torrent we refused never goes into the state file.
            savedTexts_.torrent = savedTorrent;
            savedTexts_.torrentChanged = savedTorrentChanged;
        }
        SetRunState(kRunRunning);
    }
    return Kind() == TaskKind::Http || HasPieceMap() || !sourceLines_.empty();
}

bool TWorkThread::ReadTorrentSource() {
    platform::BoundedRead read =
        platform::ReadFileUpTo(SourceText().substr(std::strlen(kFileScheme)), kMaxTorrentFileBytes);
    const std::string& bytes = read.bytes;
    if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) return false;
    if (savedTexts_.torrent != bytes) {
        savedTexts_.torrent = std::move(read.bytes);
        savedTexts_.torrentChanged = true;
    }
    return true;
}

void TWorkThread::TakeOnDiskSize() {
    if (TargetFile().empty()) return;
    const int64_t size = AllocatedSizeOf(TargetFile());
    if (size > 0) working_.onDiskSize = size;
}

int64_t TWorkThread::OnTurn() {
    uint32_t sleepMs = 0;
    {
        ScopedLock guard(Lock());
        sleepMs = WorkOneTurn();
        CollectWaitingSockets();
    }
    PauseTurn(sleepMs);
    return JobClock();
}

void TWorkThread::CollectWaitingSockets() {
    waitingSockets_.clear();
    waitingPeers_.clear();
    waitingTransports_.clear();
    waitingTransportPeers_.clear();
    transportPeers_ = std::any_of(Peers().begin(), Peers().end(), [](const TPeerObject* peer) {
        const QSocket* connection = peer->InputConnection();
        return connection && connection->IsOpen() && connection->IsTransport();
    });
    if (DownloadBudget() <= 0) return;
    for (const TPeerObject* peer : Peers()) {
        const QSocket* connection = peer->InputConnection();
        if (!peer->WaitsForInput() || !connection || !connection->IsOpen()) continue;
        if (connection->IsTransport()) {
            waitingTransports_.push_back(connection->Handle());
            waitingTransportPeers_.push_back(peer);
            continue;
        }
        waitingSockets_.push_back(connection->Handle());
        waitingPeers_.push_back(peer);
    }
}

platform::WakeEvent* TWorkThread::TransportWake() {
    if (!transportWake_) {
        transportWake_ = std::make_unique<platform::WakeEvent>();
        if (transportWake_->IsValid()) streamops::WatchTransports(transportWake_.get());
    }
    return transportWake_->IsValid() ? transportWake_.get() : nullptr;
}

void TWorkThread::MarkReadyTransports() {
    if (waitingTransports_.empty()) return;
    std::vector<platform::SocketHandle> readable = waitingTransports_;
    if (streamops::ReadableTransports(readable) <= 0) return;
    for (size_t i = 0; i < waitingTransports_.size(); ++i) {
        if (std::find(readable.begin(), readable.end(), waitingTransports_[i]) != readable.end())
            readyPeers_.push_back(waitingTransportPeers_[i]);
    }
}

void TWorkThread::PauseTurn(uint32_t ms) {
    readyPeers_.clear();
    // Transport connections wake the pause through their event: data that
    // came in, acknowledged packets (room to send) or an end. The event is
    // cleared before looking, so a change after the look still wakes.
    platform::WakeEvent* wake = transportPeers_ ? TransportWake() : nullptr;
    if (wake) wake->Clear();
    MarkReadyTransports();
    if (!readyPeers_.empty()) return;
    std::vector<platform::SocketHandle> handles = waitingSockets_;
    if (wake) handles.push_back(wake->Handle());
    if (handles.empty()) {
        platform::SleepMs(ms);
        return;
    }
    // Waking as soon as data arrives keeps a fast source streaming; the
    // sockets belong to this thread, so none closes during the wait.
    std::vector<bool> ready;
    if (platform::WaitOnSockets(handles, platform::SocketWait::kReadable, static_cast<int>(ms), ready) <= 0) return;
    for (size_t i = 0; i < waitingPeers_.size(); ++i)
        if (ready[i]) readyPeers_.push_back(waitingPeers_[i]);
    if (wake && ready.back()) MarkReadyTransports();
}

uint32_t TWorkThread::WorkOneTurn() {
    ServeQueuedReads();
    RunPeerProcessing();
    KeepHeldDataBounded();
    SaveAfterProgress();

    // A finished download that only talks to trackers has little to do.
    const uint32_t tick = platform::TickMs();
    const bool allVerified = IsComplete();
    if (!allVerified || !Peers().empty()) onlyTrackersSinceTick_ = tick;
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
    if (RatesDue()) RefreshRates();
    return idleSleepMs + pacing_.TurnSleepMs();
}

void TWorkThread::RunPeerProcessing() {
    waitingUploads_ = 0;
    const uint32_t tick = platform::TickMs();
    if (tick - lastDispatchTick_ >= kDispatchPeriodMs) {
        DispatchIncoming();
        lastDispatchTick_ = tick;
    }
    int32_t extraUploads = 0;  // E
    bool fullTurn = false;
    if (secondStepDue_ || tick - lastSecondTick_ >= kSecondMs) {
        turnCounter_ = 0;
        TickSecond(IsComplete());
        publishPending_ = true;
        lastSecondTick_ = tick;
        fullTurn = true;
        extraUploads = std::max(uploadSlots_ / 6, 1);
    } else {
        fullTurn = turnCounter_ % static_cast<uint32_t>(pacing_.SlowPeerPeriod()) == 0;
    }
    StepPeers(fullTurn, extraUploads);
    if (!HasPieceMap()) {
        ConnectSources();
        ConnectPeers();
    } else if (NewPeersWaiting()) {
        ConnectPeers();
    }
    ++turnCounter_;
}

void TWorkThread::StepPeers(bool fullTurn, int32_t extraUploads) {
    const bool complete = IsComplete();
    const auto activeRate = [complete](const TPeerObject& peer) {
        return PeerStepRate(complete, peer.ReceiveRate(), peer.SendRate(), peer.HasUploadsWaiting());
    };
    // Steps may end connections; walk a copy of the list.
    const std::vector<TPeerObject*> firstPass = Peers();
    for (TPeerObject* peer : firstPass) {
        if (!peer) continue;
        const bool hasInput = std::find(readyPeers_.begin(), readyPeers_.end(), peer) != readyPeers_.end();
        if (fullTurn || activeRate(*peer) >= kFastPeerRate || hasInput) {
            if (peer->Tick())
                CountStepBytes(peer->StepReceived(), peer->StepSent());
            else
                EndFailedPeer(peer, 0);
        } else if (peer->Kind() == kPeerBitTorrent && peer->IsEstablished() && peer->Connection() &&
                   peer->Connection()->OutputSize() > 0) {
            CountWaitingUpload();
        }
    }
    const int32_t allowance = std::max(waitingUploads_, uploadSlots_);
    const uint32_t phase = turnCounter_ % static_cast<uint32_t>(pacing_.SecondPassPeriod());
    const std::vector<TPeerObject*> secondPass = Peers();
    for (TPeerObject* peer : secondPass) {
        if (!peer || peer->Kind() != kPeerBitTorrent) continue;
        const bool due = activeRate(*peer) >= kFastPeerRate || (phase == 0 && (extraUploads > 0 || turnCounter_ >= 18));
        if (!due) continue;
        if (!peer->UploadTick()) {
            EndFailedPeer(peer, 0);
            continue;
        }
        CountStepBytes(peer->StepReceived(), peer->StepSent());
        if (waitingUploads_ >= extraUploads + allowance) break;
    }
}

bool TWorkThread::SourcesExhausted() {
    return working_.currentSpeed == 0 && Age() > kExhaustionAgeSeconds &&
           (Kind() == TaskKind::Http || !HasPieceMap()) && CandidateCount() == 0;
}

bool TWorkThread::PieceBeyondEverySource(int64_t now) {
    if (now == lastSupplyCheck_) return false;
    lastSupplyCheck_ = now;
    bool serversLeft = false;
    const int32_t piece = PieceNoSourceCanSupply(serversLeft);
    if (piece < 0) return false;
    NoteSourceProblem({}, serversLeft ? "piece " + std::to_string(piece) + " failed its check from every source"
                                      : "every source was given up with piece " + std::to_string(piece) + " missing",
                      "no source is left to supply it");
    return true;
}

bool TWorkThread::CheckComplete(int64_t now) {
    if (now == 0) now = ClockNow();
    bool complete = working_.pieceCount > 0 && working_.piecesVerified >= working_.pieceCount;
    if (complete && completionTime_ == 0) {
        completionTime_ = now;
        if (working_.runState != kRunParsing) {
            Refresh();
            complete = working_.pieceCount > 0 && working_.piecesVerified >= working_.pieceCount;
        }
        if (complete) {
            finished_ = true;
            // The finished record shows the file as it now lies on disk.
            working_.currentSpeed = 0;
            working_.remainingSeconds = 0;
            TakeOnDiskSize();
            Publish(false, false);
        }
    }
    if (complete && now > 0) {
        if (Kind() == TaskKind::Http && !working_.hold && working_.completedBytes >= working_.wantedBytes) return true;
        if (settings_.seedingHours > 0 && (now - completionTime_) / 3600 >= settings_.seedingHours) {
            working_.hold = false;
            return true;
        }
    }
    if (!complete) completionTime_ = 0;
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
        ApplyPriorityChanges();
        if (fileListChanged_ || force) PublishFileList();
        bitfield_.Publish(force);
    }
    working_.bytesFromSources = meter_.FromSources();
    working_.bytesFromPeers = meter_.FromPeers();
    published_ = working_;
    // Until the first whole second is counted, the bytes of this second are
    // the best figure there is: a status showing data arrive at no speed is wrong.
    const int64_t payload = meter_.ThisSecond().payload;
    if (published_.currentSpeed == 0 && payload > 0 && !IsComplete())
        published_.currentSpeed = static_cast<int32_t>(std::min<int64_t>(payload, INT32_MAX));
}

TaskReport TWorkThread::Report() {
    ScopedLock guard(Lock());
    TaskReport report;
    report.name = published_.name;
    report.progressPermyriad = ProgressPermyriad(published_.completedBytes, published_.totalBytes);

    JobStatus code = static_cast<JobStatus>(published_.statusCode);
    if (IsPaused() && (code == kStatusNormal || code == kStatusWaiting)) code = kStatusPaused;
    if (code == kStatusNormal && report.progressPermyriad > 9999) code = kStatusComplete;
    report.status = code;
    if (code == kStatusPaused && published_.currentSpeed != 0) {
        published_.currentSpeed = 0;
        published_.remainingSeconds = 0;
    }
    report.speed = published_.currentSpeed;
    if (published_.remainingSeconds > 0) report.remainingSeconds = published_.remainingSeconds;
    if (published_.totalBytes > 0) report.totalBytes = published_.totalBytes;
    report.fromSources = published_.bytesFromSources;
    report.fromPeers = published_.bytesFromPeers;
    report.onDisk = published_.onDiskSize;
    return report;
}

int TWorkThread::IsComplete() {
    ScopedLock guard(Lock());
    return ProgressPermyriad(published_.completedBytes, published_.totalBytes) > 9999 ? 1 : 0;
}

void TWorkThread::SetLimit(LimitDirection direction, SpeedLimit limit) {
    ScopedLock guard(Lock());
    meter_.SetLimit(direction, limit);
}

int TWorkThread::CopyBitfield(uint8_t* buffer, int length) {
    ScopedLock guard(Lock());
    const std::vector<uint8_t>& published = bitfield_.Published();
    const int size = static_cast<int>(published.size());
    // Before the map is known there is nothing to copy, and memcpy takes no null source.
    if (size > 0 && length > 0)
        std::memcpy(buffer, published.data(), static_cast<size_t>(std::min(length, size)));
    return std::min(size * 8, published_.pieceCount);
}

bool TWorkThread::WantsUdpPeers() const {
    // The engine view is this thread's copy of the engine flags, taken each turn.
    return !View().udpServiceOff && !View().reachableFromOutside && UdpServicePublicAddress().has_value();
}

TPeerObject* TWorkThread::MakePeer(int32_t kind) { return MakePooledPeer(kind); }

void TWorkThread::Reset(bool clearFiles, bool b) {
    TWorkWithTransStatis::Reset(clearFiles, b);
    working_.receivedTotal = 0;
    working_.sentTotal = 0;
    working_.currentSpeed = 0;
    working_.remainingSeconds = 0;
    onlyTrackersSinceTick_ = 0;
    turnCounter_ = 0;
    lastDispatchTick_ = 0;
    lastSecondTick_ = 0;
    publishPending_ = false;
}

}  // namespace veldmoor
