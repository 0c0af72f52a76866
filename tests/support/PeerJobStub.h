#pragma once
// Neutral answers to everything a peer asks of its job: no piece map, nothing
// to schedule, an unlimited budget. Tests override what they exercise.
#include <vector>

#include "peers/IPeerJob.h"

namespace veldmoor::test {

template <typename Base>
class PeerJobStubOf : public Base {
public:
    using Base::Base;
    void ReturnRequests(std::vector<BlockRequest>& requests) override { requests.clear(); }
    int32_t ReadPosition() const override { return -1; }
    TPieces* ReadyPieceMap() const override { return nullptr; }
    bool IsDownloading() const override { return false; }
    bool IsPieceWanted(int32_t /*piece*/) override { return false; }
    bool IsEndGame() const override { return false; }
    int32_t NextSourcePiece(TPeerObject& /*peer*/) override { return -1; }
    void ReleaseSourceRange(TPeerObject& /*peer*/) override {}
    bool TakeSourceRangeAt(TPeerObject& /*peer*/, int32_t /*piece*/) override { return false; }
    bool TakeOutstandingRequest(int32_t /*block*/) override { return false; }
    void CountDelivered(int32_t /*kind*/, int32_t /*bytes*/) override {}
    void ReleaseFailedPiece(int32_t /*piece*/) override {}
    int64_t TotalSize() const override { return 0; }
    int32_t DownloadBudget() const override { return 1 << 30; }
    void OnSourceFileSize(int64_t /*size*/) override {}
};

}  // namespace veldmoor::test
