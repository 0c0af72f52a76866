#include "engine/PieceSchedule.h"

#include <algorithm>

#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

int32_t PieceOf(const BlockRequest& request, int64_t pieceLength) {
    return static_cast<int32_t>(int64_t{request.block} * kBlockSize / pieceLength);
}

}  // namespace

bool PieceSchedule::MayStart(const TPieces& map, int32_t piece) {
    // Entries of pieces that are complete (in memory or on disk) or no longer
    // wanted go, so they neither block others nor bring the end game early.
    std::erase_if(inFlight_, [&map](int32_t entry) { return !map.IsPieceWanted(entry); });
    // Pieces held complete in memory and unwanted ones are not left to fetch.
    endGame_ = static_cast<int64_t>(inFlight_.size()) >= map.PiecesToFetch();
    if (endGame_) {
        endGameReached_ = true;
        return true;
    }
    return std::find(inFlight_.begin(), inFlight_.end(), piece) == inFlight_.end();
}

bool PieceSchedule::AddInFlight(int32_t piece, int64_t allowed) {
    if (std::count(inFlight_.begin(), inFlight_.end(), piece) > allowed) return false;
    inFlight_.push_back(piece);
    return true;
}

void PieceSchedule::RemoveInFlight(int32_t piece, bool every) {
    if (every) {
        std::erase(inFlight_, piece);
        return;
    }
    const auto found = std::find(inFlight_.begin(), inFlight_.end(), piece);
    if (found != inFlight_.end()) inFlight_.erase(found);
}

bool PieceSchedule::HasRequest(int32_t block) const {
    return std::any_of(pool_.begin(), pool_.end(), [block](const BlockRequest& request) { return request.block == block; });
}

bool PieceSchedule::TakeRequest(int32_t block) {
    const auto found =
        std::find_if(pool_.begin(), pool_.end(), [block](const BlockRequest& request) { return request.block == block; });
    if (found == pool_.end()) return false;
    pool_.erase(found);
    return true;
}

bool PieceSchedule::TakeRequests(std::vector<BlockRequest>& list, int max, int64_t pieceLength,
                                 const std::function<bool(int32_t block)>& held,
                                 const std::function<bool(int32_t piece)>& eligible) {
    // Blocks that arrived while their requests waited in the pool.
    std::erase_if(pool_, [&held](const BlockRequest& request) { return held(request.block); });
    int32_t chosen = -1;
    for (const BlockRequest& request : pool_) {
        const int32_t piece = PieceOf(request, pieceLength);
        if (piece == lastTakenPiece_ || !eligible(piece)) continue;
        chosen = piece;
        break;
    }
    if (chosen < 0) return false;
    lastTakenPiece_ = chosen;
    int given = 0;
    for (auto it = pool_.begin(); it != pool_.end() && given < max;) {
        if (PieceOf(*it, pieceLength) != chosen) {
            ++it;
            continue;
        }
        list.push_back(*it);
        it = pool_.erase(it);
        ++given;
    }
    return given > 0;
}

std::vector<int32_t> PieceSchedule::TrimPool(int64_t pieceLength, const std::function<bool(int32_t piece)>& keep) {
    std::sort(pool_.begin(), pool_.end(), [](const BlockRequest& a, const BlockRequest& b) { return a.block < b.block; });
    std::vector<BlockRequest> kept;
    std::vector<int32_t> dropped;
    for (size_t i = 0; i < pool_.size();) {
        const int32_t piece = PieceOf(pool_[i], pieceLength);
        size_t end = i;
        while (end < pool_.size() && PieceOf(pool_[end], pieceLength) == piece) ++end;
        if (keep(piece)) {
            kept.insert(kept.end(), pool_.begin() + static_cast<std::ptrdiff_t>(i),
                        pool_.begin() + static_cast<std::ptrdiff_t>(end));
        } else {
            dropped.push_back(piece);
        }
        i = end;
    }
    pool_.swap(kept);
    return dropped;
}

void PieceSchedule::ClearWork() {
    pool_.clear();
    inFlight_.clear();
}

void PieceSchedule::Reset() {
    ClearWork();
    endGame_ = endGameReached_ = false;
    lastTakenPiece_ = -1;
}

}  // namespace veldmoor
