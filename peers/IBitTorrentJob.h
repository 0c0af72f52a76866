#pragma once
// What a BitTorrent connection needs of its job beyond IPeerJob: the job's
// identity and pieces, its upload side, the peers it knows, and its shares of
// the piece scheduling (in-flight list, request pool, source ranges). A
// connection reaches it with dynamic_cast from its IPeerJob.
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "peers/BitTorrentWire.h"
#include "peers/BlockRequest.h"
#include "peers/TPeerId.h"

namespace veldmoor {

class TPeerObject;

// A run of pieces cut for one connection, `first` to `last` inclusive.
struct PieceRun {
    int32_t first = 0;
    int32_t last = 0;
};

class IBitTorrentJob {
public:
    // --- Identity and pieces ---
    // The 68-byte handshake the job's connections send; byte 0 is 19 once the
    // job's identity is made, and nothing may be sent before.
    virtual const std::array<uint8_t, kHandshakeSize>& HandshakeTemplate() const = 0;
    // Piece length and content size; both 0 while unknown.
    virtual PieceLayout TorrentLayout() const = 0;
    // The verified pieces, one bit each, most significant bit first; empty
    // while the piece count is unknown.
    virtual const std::vector<uint8_t>& JobBitfield() const = 0;
    // The engine wraps outgoing handshakes in an HTTP-looking request.
    virtual bool WrapsHandshakes() const = 0;
    // The job may reach peers over the UDP service (stream transport).
    virtual bool WantsUdpPeers() const { return false; }

    // --- Upload side ---
    // Bytes the job may still send in the current second.
    virtual int32_t UploadBudget() const = 0;
    // Piece bytes handed to a connection.
    virtual void AddUploaded(int32_t bytes) = 0;
    virtual int32_t UploadSlotCount() const = 0;
    // The job is running with a piece map: requests may be served.
    virtual bool ServesUploads() const = 0;

    // --- Peers the job knows ---
    // Another connection of the job has a candidate with this peer id.
    virtual bool IsPeerIdConnected(const PeerIdentity& peerId, const TPeerObject& asking) const = 0;
    // The listed candidate for an accepted connection from ip:port, made when
    // missing and counted as open once more; null when the list has no room.
    virtual TPeerId* CandidateForIncoming(const IpAddress& ip, int32_t port) = 0;

    // --- Piece scheduling ---
    virtual bool AddInFlight(int32_t piece) = 0;
    virtual void RemoveInFlight(int32_t piece, bool discard) = 0;
    // The piece is complete: every in-flight entry of it goes, its data stays.
    virtual void ForgetInFlight(int32_t piece) = 0;
    virtual int32_t RandomStart() const = 0;
    // Up to `max` pooled requests of one piece the peer has and may be asked for.
    virtual bool TakeRequests(std::vector<BlockRequest>& list, const std::vector<uint8_t>& peerBitfield, int max,
                              const std::vector<uint8_t>& exclude) = 0;
    // The pool of block requests that connections gave back.
    virtual const std::vector<BlockRequest>& OutstandingRequests() const = 0;
    virtual bool HasOutstandingRequest(int32_t block) const = 0;
    // Pools the request unless the same block is pooled already.
    virtual void AddOutstandingRequest(const BlockRequest& request) = 0;

    // --- Source ranges, worked from their far end ---
    // HTTP or FTP candidates exist, no range is cut yet and the job is young:
    // the servers take the first ranges.
    virtual bool WaitsForServerSources() = 0;
    virtual bool HasSourceRanges() const = 0;
    // Cuts a run of at least `minimumPieces` consecutive pieces that
    // `qualifies` accepts from the far end of a source range; false when no
    // range yields one.
    virtual bool CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces,
                              int32_t maximumPieces, PieceRun& run) = 0;
    // A single piece from the far end of a source range that `qualifies`
    // accepts (the test may take an in-flight entry); -1 when none.
    virtual int32_t FarEndPiece(const std::function<bool(int32_t)>& qualifies, int32_t peerRate) = 0;
    // A server connection works on the piece, has asked for it or will within
    // two seconds: a peer that took it would waste the server's bytes.
    virtual bool ServerFetchesSoon(int32_t /*piece*/) { return false; }
    // How many connected peers hold the piece.
    virtual int32_t PeersHolding(int32_t /*piece*/) const { return 0; }

protected:
    ~IBitTorrentJob() = default;
};

}  // namespace veldmoor
