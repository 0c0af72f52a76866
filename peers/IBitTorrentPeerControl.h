#pragma once
// What the job's peer upkeep does with a BitTorrent connection beyond the
// operations every peer shares: choking, and what the remote side has.
#include <cstdint>

namespace veldmoor {

class IBitTorrentPeerControl {
public:
    // This side chokes the remote side.
    virtual bool IsChokingRemote() const = 0;
    virtual void Unchoke() = 0;
    // Chokes the remote side and forgets what it asked for.
    virtual void ChokeAndDropUploads() = 0;
    // The have messages received since the last call.
    virtual int32_t TakeHaveCount() = 0;
    virtual int32_t RemotePieceCount() const = 0;
    // The remote side has the piece and does not choke this side.
    virtual bool OffersPiece(int32_t /*piece*/) const { return false; }
    // The remote side has the piece, choking or not.
    virtual bool HoldsPiece(int32_t /*piece*/) const { return false; }
    // A connected peer whose candidate should not be punished when it ends.
    virtual bool AsksToBeKept() const = 0;

protected:
    ~IBitTorrentPeerControl() = default;
};

}  // namespace veldmoor
