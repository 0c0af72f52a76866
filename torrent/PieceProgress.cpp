#include "torrent/PieceProgress.h"

#include <algorithm>

#include "torrent/Bitfield.h"

namespace veldmoor {

void PieceProgress::StartFresh(int64_t pieceCount, int32_t pieceLength, int64_t totalLength) {
    pieceCount_ = std::max<int64_t>(pieceCount, 0);
    pieceLength_ = pieceLength;
    totalLength_ = totalLength;
    bits_.assign(BitfieldBytes(static_cast<uint64_t>(pieceCount_)), 0);
    receivedBytes_ = completedBytes_ = 0;
    piecesVerified_ = 0;
    lastVerifiedPiece_ = -1;
    wantedBytes_ = totalLength;
    wantedPieces_ = pieceCount_;
}

void PieceProgress::Clear() { *this = PieceProgress(); }

int32_t PieceProgress::LengthOf(int64_t piece) const {
    return static_cast<int32_t>(std::min<int64_t>(pieceLength_, totalLength_ - piece * pieceLength_));
}

bool PieceProgress::IsVerified(int64_t piece) const { return HasBit(bits_, piece); }

bool PieceProgress::SetVerified(int64_t piece, bool verified) {
    if (piece < 0 || piece >= pieceCount_ || !SetBit(bits_, piece, verified)) return false;
    if (verified) {
        ++piecesVerified_;
        completedBytes_ += LengthOf(piece);
        lastVerifiedPiece_ = static_cast<int32_t>(piece);
    } else {
        --piecesVerified_;
        completedBytes_ -= LengthOf(piece);
        lastVerifiedPiece_ = -1;
    }
    return true;
}

void PieceProgress::Recount(const std::vector<TPiece>& pieces) {
    completedBytes_ = 0;
    piecesVerified_ = 0;
    wantedBytes_ = 0;
    wantedPieces_ = 0;
    for (const TPiece& piece : pieces) {
        if (HasBit(bits_, piece.index)) {
            ++piecesVerified_;
            completedBytes_ += piece.length;
        }
        if (!piece.unwanted) {
            ++wantedPieces_;
            wantedBytes_ += piece.length;
        }
    }
}

void PieceProgress::VerifyAll() {
    std::fill(bits_.begin(), bits_.end(), 0xFF);
    ClearSpareBits(bits_, static_cast<uint64_t>(pieceCount_));
    piecesVerified_ = static_cast<int32_t>(pieceCount_);
    completedBytes_ = totalLength_;
    receivedBytes_ = totalLength_;
    lastVerifiedPiece_ = static_cast<int32_t>(pieceCount_ - 1);
}

void PieceProgress::TakeContentUnchecked() {
    receivedBytes_ = wantedBytes_ = totalLength_;
    completedBytes_ = 0;
    piecesVerified_ = 0;
}

}  // namespace veldmoor
