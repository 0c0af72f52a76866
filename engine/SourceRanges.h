#pragma once
// Source ranges: runs of pieces that HTTP and FTP connections work through,
// so that each server streams a contiguous stretch of the file. Ranges are cut
// from the candidates' share of the file and re-balanced from slow
// connections to fast ones.
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace veldmoor {

class TPeerObject;
class TPeerId;

struct SourceRange {
    int32_t first = 0;
    int32_t last = 0;
    int32_t cursor = 0;  // next piece to fetch
    bool finished = false;
    bool reset = false;            // start over at the first piece
    bool madeByBitTorrent = false;  // cut by a BitTorrent connection for itself
    bool later = false;             // taken only once no other free range is left
    int64_t assignedAt = 0;         // job clock
    TPeerId* candidate = nullptr;
    TPeerObject* owner = nullptr;   // null while free
};

// What the ranges consult of the job at the moment of a call.
struct RangeView {
    int32_t pieceCount = 0;
    int32_t pieceLength = 0;
    int32_t piecesRemaining = 0;  // not yet verified
    bool downloadComplete = false;
    int64_t now = 0;     // job clock
    uint32_t tick = 0;   // for the random start index
    std::function<bool(int32_t piece)> isWanted;
    // The asking connection's source may be asked for the piece now (it has
    // not failed its check from there lately); null: any piece.
    std::function<bool(int32_t piece)> sourceMayFetch;
    // Where the servers' shares start (the pieces before it come last): with
    // peers, a piece picked at random per job, so that the members of a crowd
    // fetch different pieces from the mirrors and trade them.
    int32_t startPiece = 0;
    // A peer that does not choke the job has the piece: servers fetch other
    // pieces first, so that their bytes bring the crowd what it lacks.
    std::function<bool(int32_t piece)> peersOffer;
};

// The last piece a request from `range`'s cursor should ask for: the range's
// last, or the piece before the first one `needed` refuses (held, or in flight
// from a peer), so that the server sends no bytes the download throws away.
int32_t LastPieceToAsk(const SourceRange& range, const std::function<bool(int32_t piece)>& needed);

class SourceRangeList {
public:
    // Cuts the pieces among the HTTP/FTP candidates (not torrent fetches) in
    // their order; every candidate's share is cut into at most its parallel
    // limit of sub-ranges. Nothing when there are no pieces or no such candidates.
    void SplitRanges(const std::vector<TPeerId*>& candidates, const RangeView& view);
    // Finds work for `connection`: a range to continue, a free one, a stale
    // one, or part of a slow connection's range. Null when there is none.
    SourceRange* AssignRange(TPeerObject& connection, const RangeView& view);
    // The next piece `connection` should fetch, assigning ranges as needed;
    // -1 when there is none.
    int32_t NextSourcePiece(TPeerObject& connection, const RangeView& view, int tries = 3);
    // The connection continues from `piece`: a new range from there to the end
    // of the running range that holds it, which now ends before the piece.
    // Null when no running range holds it.
    SourceRange* TakeRangeAt(TPeerObject& connection, int32_t piece, const RangeView& view);
    // A run of at most `maximumPieces` (and at least `minimumPieces`) pieces
    // that `qualifies` accepts, cut from the far end of a running range for a
    // BitTorrent connection; the range then ends below the run, so its server
    // stops where the peer's work starts instead of meeting pieces in flight.
    // `start` picks the first range tried. False when no range yields one.
    bool CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces, int32_t maximumPieces,
                      size_t start, const RangeView& view, int32_t& first, int32_t& last);
    // A server connection works on `piece` or will within its next two
    // seconds, or has asked its server for it: a peer taking it would have the
    // server's bytes for it wasted.
    bool ServerFetchesSoon(int32_t piece, const RangeView& view) const;
    // The last piece of `range` its owner keeps that way; below the cursor
    // when nobody works on it.
    static int32_t LastKeptPiece(const SourceRange& range, const RangeView& view);
    // The connection gives its range back; it stays in the list without an owner.
    void Release(TPeerObject& connection);
    // The connection is gone (reset or pooled): forget everything about it.
    void Forget(TPeerObject& connection);
    void Clear();

    SourceRange* RangeOf(const TPeerObject& connection) const;
    const std::vector<std::unique_ptr<SourceRange>>& Ranges() const { return ranges_; }
    bool Empty() const { return ranges_.empty(); }

private:
    struct ConnectionState {
        int32_t lastFetched = -1;
        bool hadRange = false;
    };

    // The range holding `piece` starts there; its part below is kept for later.
    void StartAt(int32_t piece);
    SourceRange* Take(SourceRange& range, TPeerObject& connection, const RangeView& view);
    SourceRange* TakeWorkFromOthers(TPeerObject& connection, const RangeView& view);
    SourceRange* ChooseRangeToSplit(TPeerObject& connection, const RangeView& view, bool relaxed) const;
    int32_t FirstWantedPiece(SourceRange& range, TPeerObject& connection, const RangeView& view) const;
    // The next piece the connection's open answer brings that the download
    // still wants from it; -1 when it has none open or the answer holds none.
    int32_t PieceOfOpenAnswer(TPeerObject& connection, const RangeView& view);
    void Remove(SourceRange* range);
    static bool Requests(const TPeerObject& connection, int32_t piece, int32_t pieceLength);

    std::vector<std::unique_ptr<SourceRange>> ranges_;
    std::unordered_map<const TPeerObject*, ConnectionState> connections_;
};

}  // namespace veldmoor
