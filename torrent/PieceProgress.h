#pragma once
// How far a piece map has got: which pieces are verified (the bits a state
// file saves and peers are told), the sums that follow from them, and what is
// wanted. The map's only keeper of these figures: every change of a bit goes
// through SetVerified, so the sums never drift from the bits.
#include <cstdint>
#include <vector>

#include "torrent/TPiece.h"

namespace veldmoor {

class PieceProgress {
public:
    // Nothing verified, everything wanted, nothing received, for a content of
    // `pieceCount` pieces of `pieceLength` bytes (the last holds the rest of
    // `totalLength`).
    void StartFresh(int64_t pieceCount, int32_t pieceLength, int64_t totalLength);
    // No content at all.
    void Clear();

    bool IsVerified(int64_t piece) const;
    // True when the piece's bit changed; the sums follow it.
    bool SetVerified(int64_t piece, bool verified);
    // Every piece verified, the content received whole.
    void VerifyAll();
    // The sums again from the bits, and what is wanted from the pieces'
    // unwanted marks.
    void Recount(const std::vector<TPiece>& pieces);
    // The whole content counts as received but none of it as verified: a map
    // that cannot check its pieces takes what is on disk.
    void TakeContentUnchecked();
    void SetReceivedBytes(int64_t bytes) { receivedBytes_ = bytes; }

    const std::vector<uint8_t>& Bits() const { return bits_; }
    bool IsComplete() const { return pieceCount_ > 0 && piecesVerified_ == pieceCount_; }
    int64_t ReceivedBytes() const { return receivedBytes_; }
    int64_t CompletedBytes() const { return completedBytes_; }
    int64_t WantedBytes() const { return wantedBytes_; }
    int64_t WantedPieces() const { return wantedPieces_; }
    int32_t PiecesVerified() const { return piecesVerified_; }
    // -1 after a piece lost its bit.
    int32_t LastVerifiedPiece() const { return lastVerifiedPiece_; }

private:
    int32_t LengthOf(int64_t piece) const;

    std::vector<uint8_t> bits_;
    int64_t pieceCount_ = 0;
    int32_t pieceLength_ = 0;
    int64_t totalLength_ = 0;
    int64_t receivedBytes_ = 0;
    int64_t completedBytes_ = 0;
    int64_t wantedBytes_ = 0;
    int64_t wantedPieces_ = 0;
    int32_t piecesVerified_ = 0;
    int32_t lastVerifiedPiece_ = -1;
};

}  // namespace veldmoor
