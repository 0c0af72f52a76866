#pragma once
// The job's piece work: the piece map over the target file and its torrent,
// the piece-map events, the published file list and bitfield, reads of
// downloaded data, source ranges and block scheduling. A component the job
// owns: it works on the job's record and peer set, asks the job's thread
// whether to stop, and leaves publishing to the job (IPieceWorkEvents).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/PieceSchedule.h"
#include "engine/PublishedBitfield.h"
#include "engine/QueuedReads.h"
#include "engine/SourcePieceFailures.h"
#include "engine/SourceRanges.h"
#include "engine/JobRecord.h"
#include "engine/TWorkWithPeers.h"
#include "foundation/WorkerThread.h"
#include "peers/IBitTorrentJob.h"
#include "peers/BlockRequest.h"
#include "torrent/TPieces.h"
#include "torrent/IPieceMapOwner.h"

namespace veldmoor {

class TTorrent;

// One file of the task as the task interface reports it.
struct PublishedFile {
    std::string relativeName;  // name type 1
    std::string workingPath;   // name type 2: where the bytes are written now
    std::string finalPath;     // name type 3: the full path of the finished file
    int64_t size = 0;
};

// What the piece work asks of the job that owns it.
class IPieceWorkEvents {
public:
    // Publishes the working status (with `flush`, the file list and bitfield
    // too); without `force` only when the job's lock is free.
    virtual void Publish(bool flush, bool force) = 0;

protected:
    ~IPieceWorkEvents() = default;
};

class TWorkWithPieces final : public IPeerSetEvents, public IPieceMapOwner {
public:
    TWorkWithPieces(EngineState& engine, JobRecord& record, TWorkWithPeers& peerSet, WorkerThread& thread,
                    IPieceWorkEvents& job);
    ~TWorkWithPieces() override;

    // Takes the map's counts into the working status record.
    void Refresh();
    bool HasPieceMap() override;
    // Forgets the map and everything scheduled in it, for a new run;
    // `clearFiles` forgets the published file list too.
    void Reset(bool clearFiles);
    void Publish(bool flush, bool force) override { job_.Publish(flush, force); }

    int GetFileCount();
    int64_t GetFileSize(int index);
    // Copies name `type` (1 relative name, 2 working path, 3 final path) of
    // file `index`; false for an invalid index.
    bool GetFileName(int index, int type, std::string& name);
    // Reads downloaded bytes of one file through the job thread and waits for
    // them: the byte count, or a ReadDataResult.
    int ReadData(int file, int64_t offset, int length, void* buffer);

    // The published piece bitfield (TaskGetBitfield); take the job's lock.
    const std::vector<uint8_t>& PublishedBits() const { return bitfield_.Published(); }
    // Its size without the job's lock, for callers that hold the job-list lock.
    int PublishedBitfieldSize() const { return bitfield_.PublishedSize(); }
    TPieces* PieceMap() const { return pieces_; }
    TTorrent* Torrent() const { return torrent_; }
    // Pieces verified since the last have announcement, oldest first.
    const std::vector<int32_t>& PendingHaves() const { return pendingHaves_; }

    int32_t ReadPosition() const { return readPosition_; }
    // A banned source's range starts over for whoever takes it next.
    void MarkSourceRangeReset(TPeerObject& peer) override;
    void ForgetPeer(TPeerObject& peer) override;
    // A finished fetch of the task's torrent line becomes the task's torrent.
    void OnPeerEnding(TPeerObject& peer) override;
    SourceRangeList& SourceRanges() { return sourceRanges_; }

    // --- Block scheduling (what the job's IPieceSchedule and IBitTorrentJob answer) ---
    TPieces* ReadyPieceMap() const { return pieceMapReady_ ? pieces_ : nullptr; }
    bool IsDownloading() const;
    bool IsPieceWanted(int32_t piece);
    bool IsEndGame() const { return schedule_.IsEndGame(); }
    int32_t NextSourcePiece(TPeerObject& peer);
    void ReleaseSourceRange(TPeerObject& peer);
    bool TakeSourceRangeAt(TPeerObject& peer, int32_t piece);
    void ReturnRequests(std::vector<BlockRequest>& requests);
    bool TakeOutstandingRequest(int32_t block);
    void ReleaseFailedPiece(int32_t piece);
    int64_t TotalSize() const override { return pieces_ ? pieces_->TotalLength() : 0; }
    void OnSourceFileSize(int64_t size);
    bool SettlingFileSize() const;
    bool AcceptSourceVersion(const std::string& url, const std::string& version);
    std::string SourceVersion(const std::string& url) const;
    void SourceFileChanged(const std::string& url);
    int64_t SourceRangeEnd(const TPeerObject& peer) const;

    // The in-flight list of pieces BitTorrent connections work on.
    bool AddInFlight(int32_t piece);
    void RemoveInFlight(int32_t piece, bool discard);
    const std::vector<int32_t>& InFlight() const { return schedule_.InFlight(); }
    bool EndGameReached() const { return schedule_.EndGameReached(); }
    const std::vector<BlockRequest>& OutstandingRequests() const { return schedule_.Pool(); }
    // Where a new BitTorrent connection starts looking for pieces.
    int32_t RandomStart() const;
    // --- For BitTorrent connections (TWorkWithPiecesBitTorrent.cpp) ---
    const std::array<uint8_t, kHandshakeSize>& HandshakeTemplate() const;
    PieceLayout TorrentLayout() const;
    const std::vector<uint8_t>& JobBitfield() const;
    bool WrapsHandshakes() const;
    int32_t UploadSlotCount() const;
    bool ServesUploads() const;
    bool IsPeerIdConnected(const PeerIdentity& peerId, const TPeerObject& asking) const;
    TPeerId* CandidateForIncoming(const IpAddress& ip, int32_t port);
    void ForgetInFlight(int32_t piece);
    bool HasOutstandingRequest(int32_t block) const;
    void AddOutstandingRequest(const BlockRequest& request);
    bool WaitsForServerSources();
    bool HasSourceRanges() const;
    bool CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces, int32_t maximumPieces,
                      PieceRun& run);
    int32_t FarEndPiece(const std::function<bool(int32_t)>& qualifies, int32_t peerRate);
    bool ServerFetchesSoon(int32_t piece);
    int32_t PeersHolding(int32_t piece) const;

    // The user's new priority for a file; applied with the next publish.
    void SetPriority(int32_t file, int32_t priority);
    // Gives a connection up to `max` (16 for <= 0) pooled requests of the first
    // piece the peer has, not excluded, still wanted, and other than the
    // previous candidate piece. False when none were given.
    bool TakeRequests(std::vector<BlockRequest>& list, const std::vector<uint8_t>& peerBitfield, int max,
                      const std::vector<uint8_t>& exclude);
    // The map holds the block (in memory or verified); its requests are not pooled.
    bool HoldsBlock(int32_t block) const;
    // The 68-byte handshake this job's BitTorrent connections send; its byte 0
    // is 19 once the identity is made.
    const std::array<uint8_t, 68>& Handshake() const { return handshake_; }
    // Makes the handshake and the job's peer identity once per info hash;
    // with `connect` the listener upkeep runs too.
    void InitIdentity(bool connect);

    // IPieceMapOwner
    void OnPieceMapEvent(const PieceMapEvent& event) override;
    bool IsStopping() const override { return thread_.StopRequested(); }
    std::string PieceMapTargetFile() const override { return record_.TargetFile(); }
    std::string PieceMapFolder() const override;
    bool PreallocateFiles() const override { return record_.Settings().preallocate; }
    bool HasReadyPieceMap() const override { return pieceMapReady_; }
    void SetRunState(int32_t runState) override { record_.SetRunState(runState); }
    void SetStatusCode(int32_t statusCode) override { record_.SetStatusCode(statusCode); }
    void RequestStop() override { thread_.RequestStop(); }
    void OnPieceChecked(BlockSender* sender, bool matched) override;
    // Raises the piece-check statistics event (engine/EngineEvents.h).
    void OnCorruptPiece(BlockSender* sender, int32_t piece) override;
    // A wanted piece that no server source may be asked for any more, and no
    // peer can bring, once some piece has failed its check: -1 when there is
    // none. `serversLeft` tells whether any server source is left at all.
    int32_t PieceNoSourceCanSupply(bool& serversLeft) const;
    void CountPieceDelivery(BlockSender* sender) override;

    // --- The loop's steps ---
    bool CreatePieceMap(TPieces* previous);
    // Builds the map from the torrent text (P2SP and BT tasks only).
    bool BuildFromTorrent();
    // The loaded torrent's identity (info hash, handshake, own peer id) and
    // its trackers, with those added through AddTrackers.
    void AdoptTorrent();
    // A torrent arrived during the run: build a new map that takes over the old one's state.
    void Rebuild();
    void RebuildIfPending();
    // A task known only by its sources builds its map once their sizes settle
    // (engine/SourceSizeVote.h); called on each answer and each turn.
    void SettleSourceFileSize();
    void BuildSourceOnlyMap(int64_t size);
    // Server sources that reported another size than the task's are given up
    // (they serve another file); called each turn, outside the peers' steps.
    void GiveUpSourcesOfAnotherSize();
    void StartOverIfPending();
    // A source's file changed under a download without hashes: start over.
    void StartOverForChangedSource(const std::string& url);
    void ServeQueuedReads();
    void TrimSchedulingPools(bool everyFourthTurn);
    RangeView MakeRangeView();
    void PublishFileList();
    // Under the job's lock, from the publish.
    void ApplyPriorityChanges();
    // Writes pending piece data and produces the saved texts; at the end of a run.
    void FlushAndCloseMap();
    void ReleasePieceMap();
    // A torrent arrived during the run and waits for the loop to rebuild the map.
    bool RebuildPending() const { return rebuildPending_; }
    // Publishes the file list when it changed (or with `force`), then the bitfield.
    void PublishPieceState(bool force);
    // Pieces verified since the last have announcement, oldest first; the
    // per-second step announces and empties them.
    std::vector<int32_t>& MutablePendingHaves() { return pendingHaves_; }

private:
    void ServeRead(QueuedReads::Request& request);

    EngineState& engine_;
    JobRecord& record_;
    TWorkWithPeers& peerSet_;
    WorkerThread& thread_;
    IPieceWorkEvents& job_;

    TPieces* pieces_ = nullptr;
    bool pieceMapReady_ = false;
    bool rebuildPending_ = false;
    PublishedBitfield bitfield_;
    bool fileListChanged_ = false;
    std::vector<int32_t> pendingHaves_;

    TTorrent* torrent_ = nullptr;
    // A source's file changed under a map without hashes: start over at the next turn.
    bool startOverPending_ = false;
    bool diskFull_ = false;
    std::vector<PublishedFile> publishedFiles_;
    int32_t readPosition_ = -1;  // first piece of the latest read served
    SourceRangeList sourceRanges_;
    SourcePieceFailures pieceFailures_;
    int64_t firstSourceSizeAt_ = -1;  // job clock of the first size a source reported; -1 before
    bool sourceRangesCut_ = false;  // the servers have had their first ranges
    PieceSchedule schedule_;
    std::vector<std::pair<int32_t, int32_t>> priorityChanges_;  // (file, priority)
    std::array<uint8_t, 68> handshake_{};
    QueuedReads reads_;

    bool IsInFlight(int32_t piece) const;
    // Where a request of a server connection without a range ends: before
    // the first piece after its first pending one that it must not fetch.
    int64_t EndOfNeededRun(const TPeerObject& peer) const;
    bool PeersOffer(int32_t piece) const;
};

}  // namespace veldmoor
