#pragma once
// The job's block scheduling as a connection sees it: which pieces to fetch,
// source ranges for server connections, the pool of requests given back.
#include <cstdint>
#include <vector>

#include "peers/BlockRequest.h"

namespace veldmoor {

class TPeerObject;
class TPieces;

class IPieceSchedule {
public:
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
    // Where the connection's source range ends, in bytes (exclusive); 0 when
    // it has none or the job does not know.
    virtual int64_t SourceRangeEnd(const TPeerObject& /*peer*/) const { return 0; }
    // Removes the block from the pool of outstanding requests; false when it is not there.
    virtual bool TakeOutstandingRequest(int32_t block) = 0;
    // A connection gives back requests it will not fetch; the job empties the list.
    virtual void ReturnRequests(std::vector<BlockRequest>& requests) = 0;
    // A completed piece failed its hash check: it is to be fetched again.
    virtual void ReleaseFailedPiece(int32_t piece) = 0;
    // The first piece of the latest read the job served; -1 before any.
    virtual int32_t ReadPosition() const = 0;
    // The download's size in bytes; 0 while unknown.
    virtual int64_t TotalSize() const = 0;

protected:
    ~IPieceSchedule() = default;
};

}  // namespace veldmoor
