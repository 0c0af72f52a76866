#include "engine/TWorkWithPieces.h"

namespace veldmoor {

TWorkWithPieces::TWorkWithPieces(EngineState& engine) : TWorkWithPeers(engine) {}

TWorkWithPieces::~TWorkWithPieces() = default;

void TWorkWithPieces::Refresh() {
    // Sizes and counters come from the piece map; without one they stay as they are.
}

bool TWorkWithPieces::HasPieceMap() { return pieces_ != nullptr; }

void TWorkWithPieces::OnPieceMapEvent(int event, intptr_t argument) { TWorkWithPeers::OnPieceMapEvent(event, argument); }

int TWorkWithPieces::GetFileCount() { return 0; }

int64_t TWorkWithPieces::GetFileSize(int) { return -1; }

bool TWorkWithPieces::GetFileName(int, int, std::string&) { return false; }

int TWorkWithPieces::ReadData(int64_t, void*, int) { return -1; }

bool TWorkWithPieces::BuildPieceMapFromTorrent() { return false; }

void TWorkWithPieces::ServeQueuedReads() {}

void TWorkWithPieces::TrimSchedulingPools(bool everyFourthTurn) {
    if (everyFourthTurn) {
        pieceListChanged_ = true;
        peerListChanged_ = true;
    }
}

void TWorkWithPieces::RebuildIfPending() { rebuildPending_ = false; }

void TWorkWithPieces::Reset(bool clearFiles, bool b) {
    TWorkWithPeers::Reset(clearFiles, b);
    workingBitfield_.clear();
    publishedBitfield_.clear();
    bitfieldChanged_ = pieceListChanged_ = peerListChanged_ = false;
}

}  // namespace veldmoor
