#pragma once
// Neutral answers to everything a peer asks of its job: no piece map, nothing
// to schedule, an unlimited budget. Tests override what they exercise.
#include <cstdint>
#include <vector>

#include "peers/IPeerJob.h"
#include "peers/TPeerObject.h"

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

// A job for one server source with no piece map: records what it is told
// of failed sources; the download budget is the test's to set.
class SourceJobStub final : public PeerJobStubOf<IPeerJob> {
public:
    bool PeerToPeerEnabled() const override { return false; }
    bool DownloadComplete() const override { return false; }
    void CountWaitingUpload() override {}
    void SourceFailed(TPeerId* /*candidate*/, bool retry, int32_t delay) override {
        failures.push_back({retry, delay});
    }
    bool AddCandidate(TPeerId* /*candidate*/, bool /*a*/, bool /*b*/) override { return false; }
    void NoteRedirectResolution(bool /*unresolvable*/) override {}
    int32_t DownloadBudget() const override { return budget; }

    struct Failure {
        bool retry;
        int32_t delay;
    };
    std::vector<Failure> failures;
    int32_t budget = 1 << 30;
};

// Owners that give a peer or a candidate its reference back.
struct PeerRelease {
    void operator()(TPeerObject* peer) const { peer->Release(); }
};
struct CandidateRelease {
    void operator()(TPeerId* candidate) const { candidate->Release(); }
};

}  // namespace veldmoor::test
