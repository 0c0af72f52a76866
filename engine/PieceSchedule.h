#pragma once
// Which pieces BitTorrent connections work on (the in-flight list, a piece
// once per connection on it), the pool of block requests connections gave
// back for others to take, and the end game: once every piece still to fetch
// is in flight, pieces may be worked on twice. The job thread owns it; the
// piece map is asked, never kept.
#include <cstdint>
#include <functional>
#include <vector>

#include "peers/BlockRequest.h"

namespace veldmoor {

class TPieces;

class PieceSchedule {
public:
    // Whether a connection may start `piece`, which the map wants. Entries of
    // pieces the map no longer wants go first; then the end game is judged on
    // the pieces still to fetch (in it every wanted piece may be started).
    bool MayStart(const TPieces& map, int32_t piece);
    // Adds one entry unless the piece already has more than `allowed`.
    bool AddInFlight(int32_t piece, int64_t allowed);
    // Removes one entry of the piece, or with `every` all of them.
    void RemoveInFlight(int32_t piece, bool every);
    const std::vector<int32_t>& InFlight() const { return inFlight_; }
    bool IsEndGame() const { return endGame_; }
    // The end game was reached in this run (until other pieces are wanted).
    bool EndGameReached() const { return endGameReached_; }
    // Other pieces are wanted now: the end game is judged anew.
    void JudgeEndGameAnew() { endGameReached_ = false; }

    const std::vector<BlockRequest>& Pool() const { return pool_; }
    bool HasRequest(int32_t block) const;
    void AddRequest(const BlockRequest& request) { pool_.push_back(request); }
    // Removes the block's request; false when it is not pooled.
    bool TakeRequest(int32_t block);
    // Gives up to `max` pooled requests of the first piece that `eligible`
    // accepts and that is not the piece taken last time. Requests of blocks
    // `held` already go first.
    bool TakeRequests(std::vector<BlockRequest>& list, int max, int64_t pieceLength,
                      const std::function<bool(int32_t block)>& held,
                      const std::function<bool(int32_t piece)>& eligible);
    // Keeps only the requests of pieces `keep` accepts (sorted by block); the
    // pieces whose requests went, each once.
    std::vector<int32_t> TrimPool(int64_t pieceLength, const std::function<bool(int32_t piece)>& keep);
    void ClearPool() { pool_.clear(); }

    // In-flight entries and pooled requests go (they counted pieces of
    // another map); the end-game marks stay.
    void ClearWork();
    void Reset();

private:
    std::vector<int32_t> inFlight_;
    std::vector<BlockRequest> pool_;
    bool endGame_ = false;
    bool endGameReached_ = false;
    int32_t lastTakenPiece_ = -1;
};

}  // namespace veldmoor
