#pragma once
// The peer base. Every remote party a job talks to (BitTorrent peer, HTTP or
// FTP source, tracker) is a TPeerObject: the job drives it through the
// virtual operations below, one step at a time, from the job's thread only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/TRefObject.h"
#include "peers/BlockRequest.h"
#include "peers/QSocket.h"
#include "peers/TPeerId.h"

namespace veldmoor {

class IBitTorrentPeerControl;
class IJobState;
class IPeerJob;
class IPieceSchedule;
class ISourceRegistry;
class ITransferMeter;
class TPieces;

enum PeerPhase : int32_t {
    kPhaseNone = 0,
    kPhaseConnecting = 1,  // connecting or handshaking
    kPhaseEstablished = 2,
};

enum PeerActivity : int32_t {
    kActivityNone = 0,
    kActivityReceiving = 1,
    kActivityWaiting = 2,
    kActivityAwaitingData = 4,  // asked and not yet answered
    kActivityTimedOut = 5,  // a server source gave up
    kActivityFinished = 6,  // nothing left to fetch from this source
};

// The statistics block (GetInfo(0)).
struct PeerStatistics {
    bool incoming = false;  // accepted, not opened
    bool wrapped = false;   // the remote side opened with an HTTP-looking header
    int64_t lastActivity = 0;
    bool hadOutput = false;  // output was still queued after a step
    int32_t currentPiece = -1;
    int32_t errors = 0;
    // Maintenance checks that found the socket's totals unchanged.
    int32_t noTrafficChecks = 0;
    uint64_t checkedSent = 0;
    uint64_t checkedReceived = 0;
};

// Where a server's body stream stands: the file position of its next byte,
// the bytes to drop before the pending run, and the run's length in blocks.
struct StreamCursor {
    int64_t position = 0;
    int64_t skip = 0;
    int32_t runLength = 0;

    // The run is no longer this stream's to fetch.
    void DropRun() {
        skip = 0;
        runLength = 0;
    }
};

class TVirtualPeer {
public:
    virtual ~TVirtualPeer() = default;
    virtual bool Receive() = 0;
    virtual bool Flush() = 0;
    virtual bool RequestBlocks() = 0;
    virtual bool Upload() = 0;
    virtual void Reset() = 0;
};

class TPeerObject : public TVirtualPeer, public TRefObject {
public:
    static constexpr int kStatisticsInfo = 0;
    // Bytes one read of a connection asks for.
    static constexpr int32_t kReadSize = 43008;
    // Reads one step may make while data keeps arriving, so that one fast
    // connection cannot hold the job's turn for long.
    static constexpr int kMaxReadsPerStep = 256;
    // A whole-resource fetch (the task's torrent) larger than this is refused.
    static constexpr size_t kMaxWholeResourceBytes = 16 * 1024 * 1024;

    TPeerObject(int32_t kind, IPeerJob* job);
    ~TPeerObject() override;

    bool Flush() override { return true; }
    bool RequestBlocks() override;
    bool Upload() override { return true; }
    // Back to idle: requests returned, connection closed (the object is
    // kept), counters cleared, candidate detached.
    void Reset() override;

    // One download step: Receive, RequestBlocks, SendRequests, Flush.
    virtual bool Tick();
    // One upload step; only BitTorrent connections upload.
    virtual bool UploadTick();
    virtual bool SendRequests() { return true; }
    // Attaches to the candidate; the kind then connects.
    virtual bool Open(TPeerId* candidate);
    // Takes over an accepted connection.
    virtual bool Adopt(std::unique_ptr<QSocket> accepted);
    virtual bool OnConnected() { return true; }
    virtual bool CheckHandshake(QSocket& /*connection*/) { return true; }
    virtual bool IsIdle() { return false; }
    virtual bool ShouldDrop(bool keepStarved);
    virtual bool IsTimedOut() { return false; }
    // kStatisticsInfo: the PeerStatistics block; kinds add their own blocks.
    virtual const void* GetInfo(int which) const;
    // Connection present and a phase other than none.
    virtual bool IsConnected() const;
    virtual int32_t GetRemoteRate() { return 0; }
    virtual bool IsStarved() { return false; }
    virtual bool IsSeedSettled() { return false; }
    virtual void CancelObsolete() {}
    // A server has everything.
    virtual bool IsSeed() { return true; }
    virtual void ReleaseRange();
    virtual int32_t NextPiece();
    // Where the bytes this connection has asked a server for end (exclusive);
    // 0 when no bounded request is open. Cutting such an answer short costs
    // the connection and whatever the server already sent.
    virtual int64_t AskedEnd() const { return 0; }
    // The remote side is unchoked and waits for blocks it asked for.
    virtual bool HasUploadsWaiting() const { return false; }
    // Why the connection failed in words, when it knows better than its
    // answer's status tells; "" otherwise. Kept until the next Open or Reset.
    const std::string& FailureReason() const { return failureReason_; }
    // The choking operations of a BitTorrent connection; null for other kinds.
    virtual IBitTorrentPeerControl* BitTorrent() { return nullptr; }

    // Set by the job when it makes the object.
    void SetJob(IPeerJob* job) { job_ = job; }
    void SetNumber(int32_t number) { number_ = number; }
    int32_t Number() const { return number_; }

    int32_t Kind() const { return kind_; }
    bool IsServerSource() const { return IsServerKind(kind_); }
    int32_t Phase() const { return phase_; }
    int32_t Activity() const { return activity_; }
    // Socket open and in the message phase.
    bool IsEstablished() const;
    // States 5 and 6 are an orderly end: the candidate did nothing wrong.
    bool EndedCleanly() const { return activity_ == kActivityTimedOut || activity_ == kActivityFinished; }
    TPeerId* Candidate() const { return candidate_; }
    QSocket* Connection() const { return connection_.get(); }
    PeerStatistics& Statistics() { return statistics_; }
    const PeerStatistics& Statistics() const { return statistics_; }
    const std::vector<BlockRequest>& PendingRequests() const { return pendingRequests_; }
    // The last step read all there was and the connection is ready for more:
    // the job may wait on its socket instead of sleeping.
    bool WaitsForInput() const { return waitsForInput_; }
    // The connection whose input the job waits for.
    virtual const QSocket* InputConnection() const { return connection_.get(); }

    // Byte counts of the last step, and what the steps received in all.
    int32_t StepSent() const { return stepSent_; }
    int32_t StepReceived() const { return stepReceived_; }
    int64_t ReceivedTotal() const { return receivedTotal_; }

    // The rate window: payload counted on delivery and bytes sent by the
    // steps since the last rate refresh, turned into rates by the refresh.
    void CountPayload(int32_t bytes) { payloadSinceRefresh_ += bytes; }
    int64_t PayloadSinceRefresh() const { return payloadSinceRefresh_; }
    int64_t SentSinceRefresh() const { return sentSinceRefresh_; }
    // Rates = window / 3; the window is emptied, the hold-choked flag cleared
    // and the connection counts as rated from now on.
    void TakeRefreshWindow();
    int32_t ReceiveRate() const { return receiveRate_; }
    // What sizes the request pipeline: the refreshed rate, or the
    // connection's own count until a refresh has given it one. A new
    // connection has no rate for up to one refresh window; its own count
    // grows with every block, so its pipeline doubles each round trip.
    int32_t PipelineRate() const;
    int32_t SendRate() const { return sendRate_; }
    void SetRates(int32_t receiveRate, int32_t sendRate) {
        receiveRate_ = receiveRate;
        sendRate_ = sendRate;
    }
    bool IsHoldChoked() const { return holdChoked_; }
    void SetHoldChoked(bool held) { holdChoked_ = held; }
    bool IsRated() const { return rated_; }
    void SetRated(bool rated) { rated_ = rated; }

protected:
    // A source dropped for what it sent is asked again after this.
    static constexpr int32_t kDropDelaySeconds = 60;

    // What a server's stream loop does next, once the buffered bytes are taken.
    enum class NextRead {
        kRead,       // read on
        kLookAgain,  // the run changed: take the buffered bytes again, then decide
        kStop,       // nothing more this step
        kFail,
    };
    enum class StreamStep {
        kPaused,  // budget spent, reads used up, input drained or stopped: the step is done
        kFailed,  // taking bytes or deciding failed
        kEnded,   // a read met the end of the stream
    };
    // One step's reads of a server's body stream: `takeBuffered` takes what
    // the connection holds, first and after every read; `nextRead` decides
    // whether to read on. Reads ask for at most kReadSize bytes and go on
    // while the job's download budget lasts, at most kMaxReadsPerStep of them;
    // a connection that had nothing more to give, or more than the step could
    // take, is marked to be waited on.
    StreamStep ReadStreamWithinBudget(QSocket& connection, const std::function<bool()>& takeBuffered,
                                      const std::function<NextRead()>& nextRead);
    // Moves what `connection` holds into the candidate's whole-resource
    // buffer. False when the resource would grow past kMaxWholeResourceBytes:
    // the source is dropped then.
    bool TakeIntoWholeResource(QSocket& connection);
    // Closes `connection` and drops the source of a whole resource that
    // cannot be taken (too large or malformed); always false.
    bool DropWholeResourceSource(QSocket& connection);
    // Sends what Connection() has queued once it is connected; false when
    // there is no open connection or the send failed.
    bool SendQueuedOutput();

    // Hands a received block to the job's piece map. False for a block nobody
    // asked for, a malformed one, or one that completed a piece which failed
    // its hash check.
    virtual bool DeliverBlock(int32_t block, const uint8_t* data, int32_t length);
    // A server's body stream: drops the stream's skip, then delivers the
    // complete blocks of the pending run in order, moving the stream along.
    // The blocks delivered, or -1 when a delivery failed.
    int32_t DeliverStreamedBlocks(QSocket& connection, StreamCursor& stream);
    // The same over bytes held elsewhere; `used` tells how many were taken.
    int32_t DeliverStreamedBytes(const uint8_t* data, size_t size, StreamCursor& stream, size_t& used);
    enum class StreamBlocks {
        kPending,   // the stream has blocks to fetch
        kNoneYet,   // none free now; the job may free some later
        kFinished,  // the job no longer downloads: the source is done (activity set)
    };
    // Takes blocks for a server's stream when none are pending, starting the
    // stream's skip afresh.
    StreamBlocks TakeBlocksForStream(StreamCursor& stream);
    // A server that stayed silent too long: its range goes back to the job;
    // always true.
    bool GiveUpSilentSource();
    // The pipeline depth: 2 + 2 blocks per 16 KiB/s of download rate.
    size_t PipelineDepth() const;
    // Queues requests for the missing blocks of `piece`, from `firstMissing` on.
    void QueueMissingBlocks(TPieces& map, int32_t piece, int32_t firstMissing);
    bool HasPendingBlockIn(int32_t piece, int32_t pieceLength) const;

    // Bytes moved on connections of this peer other than Connection(), such as
    // an FTP data connection; the step counts include them.
    virtual uint64_t OtherBytesSent() const { return 0; }
    virtual uint64_t OtherBytesReceived() const { return 0; }

    void SetFailureReason(std::string reason) { failureReason_ = std::move(reason); }
    void SetPhase(int32_t phase) { phase_ = phase; }
    void SetWaitsForInput(bool waits) { waitsForInput_ = waits; }
    void SetActivity(int32_t activity) { activity_ = activity; }
    // The whole job, for connections that ask it for a further role
    // (IBitTorrentJob, ITrackerJob).
    IPeerJob* Job() const { return job_; }
    // The roles of the job a connection works with; null without a job.
    IPieceSchedule* JobSchedule() const;
    ITransferMeter* JobMeter() const;
    ISourceRegistry* JobSources() const;
    IJobState* JobState() const;
    // Makes the connection object when there is none yet.
    QSocket& EnsureConnection();
    std::vector<BlockRequest>& MutablePendingRequests() { return pendingRequests_; }

    // Gives the candidate back: one open connection less, one reference less.
    void DetachCandidate();

private:
    void StoreStepCounts(uint64_t sentBefore, uint64_t receivedBefore);
    uint64_t BytesSentInAll() const;
    uint64_t BytesReceivedInAll() const;
    void ClearCounters();

    const int32_t kind_;
    int32_t phase_ = kPhaseNone;
    int32_t activity_ = kActivityNone;
    int32_t number_ = 0;
    IPeerJob* job_ = nullptr;
    TPeerId* candidate_ = nullptr;
    std::unique_ptr<QSocket> connection_;
    std::vector<BlockRequest> pendingRequests_;
    std::vector<BlockRequest> uploadRequests_;
    int32_t lastJobPosition_ = -1;
    PeerStatistics statistics_;

    int32_t stepSent_ = 0;
    int32_t stepReceived_ = 0;
    int64_t receivedTotal_ = 0;
    int64_t payloadSinceRefresh_ = 0;
    int64_t sentSinceRefresh_ = 0;
    int32_t receiveRate_ = 0;
    int32_t sendRate_ = 0;
    bool holdChoked_ = false;
    bool rated_ = false;
    bool waitsForInput_ = false;
    std::string failureReason_;
};

}  // namespace veldmoor
