// Feeds arbitrary bytes to the BitTorrent peer wire as a remote peer would
// send them: a handshake, then length-prefixed messages, each checked as the
// peer connection checks it. The first bytes choose the torrent's layout.
// Beyond the sanitizers' checks, it traps when:
//  - a handshake is accepted that does not carry the header, our info hash
//    and another peer id;
//  - a frame takes no bytes or more than were buffered, a payload lies
//    outside its frame, or a frame over the cap is taken as a message;
//  - a have, request, cancel or piece message is accepted whose numbers lie
//    outside the torrent, or a bitfield of the wrong size is accepted.
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz/FuzzSupport.h"
#include "peers/BitTorrentWire.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("peer_wire_fuzz", what); }

constexpr InfoHash kInfoHash = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
constexpr PeerIdentity kOwnId = {'-', 'V', 'M', '0', '1', '0', '0', '-', 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                 'i', 'j', 'k', 'l'};

void CheckHandshake(std::span<const uint8_t> received) {
    const HandshakeCheck check = veldmoor::CheckHandshake(received, kInfoHash, kOwnId);
    if (check.status == HandshakeStatus::kNeedMore && received.size() >= kHandshakeSize) Fail("need more after 68 bytes");
    if (check.status != HandshakeStatus::kAccepted) return;
    const Handshake expected = BuildHandshake(kInfoHash, check.remotePeerId);
    if (received.size() < kHandshakeSize || std::memcmp(received.data(), expected.data(), 20) != 0 ||
        std::memcmp(received.data() + kHandshakeInfoHashOffset, kInfoHash.data(), kInfoHash.size()) != 0 ||
        std::memcmp(received.data() + kHandshakePeerIdOffset, check.remotePeerId.data(), 20) != 0 ||
        check.remotePeerId == kOwnId)
        Fail("a handshake accepted that is not ours to take");
}

void CheckMessage(const Frame& frame, const PieceLayout& layout) {
    const uint32_t pieceCount = layout.PieceCount();
    switch (frame.id) {
        case kMsgHave: {
            uint32_t index = 0;
            if (ParseHave(frame.payload, pieceCount, index) == WireError::kNone && index >= pieceCount)
                Fail("a have beyond the piece count");
            break;
        }
        case kMsgBitfield:
            if (CheckBitfield(frame.payload, pieceCount) == WireError::kNone) {
                if (frame.payload.size() != BitfieldSize(pieceCount)) Fail("a bitfield of the wrong size");
                if (CountPieces(frame.payload, pieceCount) > pieceCount) Fail("more pieces than the torrent has");
            }
            break;
        case kMsgRequest:
        case kMsgCancel: {
            BlockRef block;
            if (ParseBlockRequest(frame.payload, layout, block) != WireError::kNone) break;
            if (block.index >= pieceCount || block.length < 1 || block.length > kWireBlockSize ||
                uint64_t{block.begin} + block.length > layout.PieceSize(block.index))
                Fail("a request outside its piece");
            break;
        }
        case kMsgPiece: {
            uint32_t unreadable = 0;
            if (IsUnreadableBlockMarker(frame.payload, unreadable)) break;
            PieceBlock block;
            if (ParsePiece(frame.payload, layout, block) != WireError::kNone) break;
            if (block.index >= pieceCount || block.data.empty() || block.data.size() > kMaxReceivedBlockLength ||
                uint64_t{block.begin} + block.data.size() > layout.PieceSize(block.index))
                Fail("a block outside its piece");
            if (block.data.data() < frame.payload.data() ||
                block.data.data() + block.data.size() > frame.payload.data() + frame.payload.size())
                Fail("a block outside its message");
            break;
        }
        default:
            break;
    }
}

void CheckFrames(std::span<const uint8_t> stream, const PieceLayout& layout, uint32_t maxLength) {
    while (!stream.empty()) {
        const Frame frame = ReadFrame(stream, maxLength);
        if (frame.status == FrameStatus::kNeedMore || frame.status == FrameStatus::kError) return;
        if (frame.used == 0 || frame.used > stream.size()) Fail("a frame took no bytes or too many");
        if (frame.status == FrameStatus::kMessage) {
            if (frame.length > maxLength) Fail("a frame over the cap became a message");
            if (frame.used != kLengthPrefixSize + frame.length || frame.payload.size() + 1 != frame.length)
                Fail("a frame's size disagrees with its length");
            if (frame.payload.data() != stream.data() + kLengthPrefixSize + 1) Fail("a payload outside its frame");
            CheckMessage(frame, layout);
        }
        stream = stream.subspan(frame.used);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kLayoutBytes = 9;
    if (size < kLayoutBytes) return 0;
    PieceLayout layout;
    layout.pieceLength = LoadBigEndian32(data);
    layout.totalSize = uint64_t{LoadBigEndian32(data + 4)} << (data[8] & 15);
    if (layout.PieceCount() > 0 && layout.PieceSize(layout.PieceCount() - 1) == 0) Fail("an empty last piece");
    std::span<const uint8_t> stream(data + kLayoutBytes, size - kLayoutBytes);

    // Bit 4 of the layout byte: the stream starts with a handshake.
    if ((data[8] & 16) != 0) {
        CheckHandshake(stream);
        if (stream.size() < kHandshakeSize) return 0;
        stream = stream.subspan(kHandshakeSize);
    }
    const uint32_t maxLength = (data[8] & 32) != 0 ? kMaxMessageLength : 64;
    CheckFrames(stream, layout, maxLength);
    return 0;
}
