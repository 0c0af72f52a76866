#pragma once
// The job's piece layer: the piece map over the target file and its torrent,
// the piece-map events, the published file list and bitfield, and reads of
// downloaded data. Source ranges and block scheduling build on it.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/PieceSchedule.h"
#include "engine/PublishedBitfield.h"
#include "engine/QueuedReads.h"
#include "engine/SourcePieceFailures.h"
#include "engine/SourceRanges.h"
#include "engine/TWorkWithPeers.h"
#include "foundation/RecursiveMutex.h"
#include "peers/IBitTorrentJob.h"
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

class TWorkWithPieces : public TWorkWithPeers, public IPieceMapOwner, public IBitTorrentJob {
public:
    explicit TWorkWithPieces(EngineState& engine);
    ~TWorkWithPieces() override;

    void Refresh() override;
    bool HasPieceMap() override;
    void Reset(bool clearFiles, bool b) override;

    virtual int GetFileCount();
    virtual int64_t GetFileSize(int index);
    // Copies name `type` (1 relative name, 2 working path, 3 final path) of
    // file `index`; false for an invalid index.
    virtual bool GetFileName(int index, int type, std::string& name);
    // Reads downloaded bytes of one file through the job thread and waits for
    // them: the byte count, or a ReadDataResult.
    virtual int ReadData(int file, int64_t offset, int length, void* buffer);

    // The published piece bitfield (TaskGetBitfield); take the job's lock.
    const std::vector<uint8_t>& PublishedBits() const { return bitfield_.Published(); }
    // Its size without the job's lock, for callers that hold the job-list lock.
    int PublishedBitfieldSize() const { return bitfield_.PublishedSize(); }
    TPieces* PieceMap() const { return pieces_; }
    TTorrent* Torrent() const { return torrent_; }
    // Pieces verified since the last have announcement, oldest first.
    const std::vector<int32_t>& PendingHaves() const { return pendingHaves_; }

    int32_t ReadPosition() const override { return readPosition_; }
    // A banned source's range starts over for whoever takes it next.
    void MarkSourceRangeReset(TPeerObject& peer) override;
    SourceRangeList& SourceRanges() { return sourceRanges_; }

    // --- Block scheduling (IPeerJob) ---
    TPieces* ReadyPieceMap() const override { return pieceMapReady_ ? pieces_ : nullptr; }
    bool IsDownloading() const override;
    bool IsPieceWanted(int32_t piece) override;
    bool IsEndGame() const override { return schedule_.IsEndGame(); }
    int32_t NextSourcePiece(TPeerObject& peer) override;
    void ReleaseSourceRange(TPeerObject& peer) override;
    bool TakeSourceRangeAt(TPeerObject& peer, int32_t piece) override;
    void ReturnRequests(std::vector<BlockRequest>& requests) override;
    bool TakeOutstandingRequest(int32_t block) override;
    void ReleaseFailedPiece(int32_t piece) override;
    int64_t TotalSize() const override { return pieces_ ? pieces_->TotalLength() : 0; }
    void OnSourceFileSize(int64_t size) override;
    bool SettlingFileSize() const override;
    bool AcceptSourceVersion(const std::string& url, const std::string& version) override;
    std::string SourceVersion(const std::string& url) const override;
    void SourceFileChanged(const std::string& url) override;
    int64_t SourceRangeEnd(const TPeerObject& peer) const override;

    // The in-flight list of pieces BitTorrent connections work on.
    bool AddInFlight(int32_t piece) override;
    void RemoveInFlight(int32_t piece, bool discard) override;
    const std::vector<int32_t>& InFlight() const { return schedule_.InFlight(); }
    bool EndGameReached() const { return schedule_.EndGameReached(); }
    const std::vector<BlockRequest>& OutstandingRequests() const override { return schedule_.Pool(); }
    // Where a new BitTorrent connection starts looking for pieces.
    int32_t RandomStart() const override;
    // --- IBitTorrentJob (TWorkWithPiecesBitTorrent.cpp) ---
    // (UploadBudget and AddUploaded are the transfer statistics'.)
    const std::array<uint8_t, kHandshakeSize>& HandshakeTemplate() const override;
    PieceLayout TorrentLayout() const override;
    const std::vector<uint8_t>& JobBitfield() const override;
    bool WrapsHandshakes() const override;
    int32_t UploadSlotCount() const override;
    bool ServesUploads() const override;
    bool IsPeerIdConnected(const PeerIdentity& peerId, const TPeerObject& asking) const override;
    TPeerId* CandidateForIncoming(const IpAddress& ip, int32_t port) override;
    void ForgetInFlight(int32_t piece) override;
    bool HasOutstandingRequest(int32_t block) const override;
    void AddOutstandingRequest(const BlockRequest& request) override;
    bool WaitsForServerSources() override;
    bool HasSourceRanges() const override;
    bool CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces, int32_t maximumPieces,
                      PieceRun& run) override;
    int32_t FarEndPiece(const std::function<bool(int32_t)>& qualifies, int32_t peerRate) override;
    bool ServerFetchesSoon(int32_t piece) override;

    // The user's new priority for a file; applied with the next publish.
    void SetPriority(int32_t file, int32_t priority);
    // Gives a connection up to `max` (16 for <= 0) pooled requests of the first
    // piece the peer has, not excluded, still wanted, and other than the
    // previous candidate piece. False when none were given.
    bool TakeRequests(std::vector<BlockRequest>& list, const std::vector<uint8_t>& peerBitfield, int max,
                      const std::vector<uint8_t>& exclude) override;
    // The map holds the block (in memory or verified); its requests are not pooled.
    bool HoldsBlock(int32_t block) const;
    // The 68-byte handshake this job's BitTorrent connections send; its byte 0
    // is 19 once the identity is made.
    const std::array<uint8_t, 68>& Handshake() const { return handshake_; }
    // Makes the handshake and the job's peer identity once per info hash;
    // with `connect` the listener upkeep runs too.
    void InitIdentity(bool connect);

    // A task known only by its sources gets pieces of this length.

    // IPieceMapOwner
    void OnPieceMapEvent(const PieceMapEvent& event) override;
    bool IsStopping() const override { return StopRequested(); }
    std::string PieceMapTargetFile() const override { return TargetFile(); }
    std::string PieceMapFolder() const override;
    bool PreallocateFiles() const override { return settings_.preallocate; }
    bool HasReadyPieceMap() const override { return pieceMapReady_; }
    void SetRunState(int32_t runState) override { TBaseWork::SetRunState(runState); }
    void SetStatusCode(int32_t statusCode) override { TBaseWork::SetStatusCode(statusCode); }
    void RequestStop() override { WorkerThread::RequestStop(); }
    void OnPieceChecked(BlockSender* sender, bool matched) override;
    // Raises the piece-check statistics event (engine/EngineEvents.h).
    void OnCorruptPiece(BlockSender* sender, int32_t piece) override;
    // A wanted piece that no server source may be asked for any more, and no
    // peer can bring, once some piece has failed its check: -1 when there is
    // none. `serversLeft` tells whether any server source is left at all.
    int32_t PieceNoSourceCanSupply(bool& serversLeft) const;
    void CountPieceDelivery(BlockSender* sender) override;

protected:
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
    void ForgetPeer(TPeerObject& peer) override;
    // A finished fetch of the task's torrent line becomes the task's torrent.
    void OnPeerEnding(TPeerObject& peer) override;
    RangeView MakeRangeView();
    void PublishFileList();
    // Under the job's lock, from the publish.
    void ApplyPriorityChanges();
    // Writes pending piece data and produces the saved texts; at the end of a run.
    void FlushAndCloseMap();
    void ReleasePieceMap();

    // Shared with the statistics and the thread body: the map, whether it is
    // ready, a rebuild waiting for the loop, what publishes and announces.
    TPieces* pieces_ = nullptr;
    bool pieceMapReady_ = false;
    bool rebuildPending_ = false;
    PublishedBitfield bitfield_;
    bool fileListChanged_ = false;
    std::vector<int32_t> pendingHaves_;

private:
    void ServeRead(QueuedReads::Request& request);

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
    bool PeersOffer(int32_t piece) const;
};

}  // namespace veldmoor
