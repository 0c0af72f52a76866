#pragma once
// What a peer connection needs of the job that owns it. Peers reach their job
// only through this, so they never depend on the job's own classes.
#include <cstdint>
#include <string>
#include <vector>

#include "peers/BlockRequest.h"

namespace veldmoor {

class TPeerId;
class TPeerObject;
class TPieces;

class IPeerJob {
public:
    // The process-wide peer-to-peer switch, as the job last saw it.
    virtual bool PeerToPeerEnabled() const = 0;
    // Every piece of the download is verified.
    virtual bool DownloadComplete() const = 0;
    // A connection gives back requests it will not fetch; the job empties the list.
    virtual void ReturnRequests(std::vector<BlockRequest>& requests) = 0;
    // The first piece of the latest read the job served; -1 before any.
    virtual int32_t ReadPosition() const = 0;
    // An established connection still holds queued output after its step, so
    // the job should service it again soon.
    virtual void CountWaitingUpload() = 0;

    // --- Block scheduling ---
    // The piece map once it is built; null before.
    virtual TPieces* ReadyPieceMap() const = 0;
    // Pieces are missing and the job is not stopping.
    virtual bool IsDownloading() const = 0;
    // The map wants the piece and, outside the end game, no connection works on it.
    virtual bool IsPieceWanted(int32_t piece) = 0;
    virtual bool IsEndGame() const = 0;
    // The next piece of the connection's source range, assigning ranges as
    // needed; -1 when there is none.
    virtual int32_t NextSourcePiece(TPeerObject& peer) = 0;
    // The connection's range stays in the job's list without an owner.
    virtual void ReleaseSourceRange(TPeerObject& peer) = 0;
    // After the read position jumped: the connection continues from `piece`
    // in a range cut from a running one. False when no range holds the piece.
    virtual bool TakeSourceRangeAt(TPeerObject& peer, int32_t piece) = 0;
    // Removes the block from the pool of outstanding requests; false when it is not there.
    virtual bool TakeOutstandingRequest(int32_t block) = 0;
    // The map accepted `bytes` of payload from a connection of `kind`.
    virtual void CountDelivered(int32_t kind, int32_t bytes) = 0;
    // A completed piece failed its hash check: it is to be fetched again.
    virtual void ReleaseFailedPiece(int32_t piece) = 0;

    // --- Server sources ---
    // Retry later (the backoff grows by max(1, delay) seconds) or never.
    virtual void SourceFailed(TPeerId* candidate, bool retry, int32_t delay) = 0;
    // The source can never serve this download (what it answers is wrong
    // whatever is asked): it is given up for the rest of the run, telling the
    // user `reason`. The connection that found it ends its own step.
    virtual void SourceUnusable(TPeerId* candidate, const std::string& /*reason*/) {
        SourceFailed(candidate, false, 60);
    }
    // Adds a copy of the candidate unless it is refused or known already.
    virtual bool AddCandidate(TPeerId* candidate, bool a, bool b) = 0;
    // A redirect led to a host that cannot be resolved (or, with false, to one that can).
    virtual void NoteRedirectResolution(bool unresolvable) = 0;
    // The download's size in bytes; 0 while unknown.
    virtual int64_t TotalSize() const = 0;
    // Bytes the job may still receive in the current second.
    virtual int32_t DownloadBudget() const = 0;
    // A source reported the file's size: a task known only by its sources
    // builds its piece map from it.
    virtual void OnSourceFileSize(int64_t size) = 0;
    // A source reported the size, but the map waits for more sources to
    // agree on it before it is made.
    virtual bool SettlingFileSize() const { return false; }
    // A server source answered with this version of the file (its ETag, else
    // its Last-Modified). False when the file changed at that source since
    // data was taken from it: the answer must not be used.
    virtual bool AcceptSourceVersion(const std::string& /*url*/, const std::string& /*version*/) { return true; }
    // The version last recorded for the source at `url`; "" when none is.
    virtual std::string SourceVersion(const std::string& /*url*/) const { return {}; }
    // The source answered a request made on the condition that its file was
    // unchanged with the whole file: it changed, whatever version it names.
    virtual void SourceFileChanged(const std::string& /*url*/) {}
    // Where the connection's source range ends, in bytes (exclusive); 0 when
    // it has none or the job does not know.
    virtual int64_t SourceRangeEnd(const TPeerObject& /*peer*/) const { return 0; }

protected:
    ~IPeerJob() = default;
};

}  // namespace veldmoor
