#pragma once
// The BitTorrent peer wire without a connection: the handshake, the length-
// prefixed message frames, the checks a received message must pass before
// any of its numbers is used, and the messages this side sends.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "peers/TPeerId.h"

namespace veldmoor {

using InfoHash = std::array<uint8_t, 20>;

// ---- byte order -----------------------------------------------------------
// Callers guarantee the bytes are there; these never check.

inline uint32_t LoadBigEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
}
inline uint16_t LoadBigEndian16(const uint8_t* bytes) {
    return static_cast<uint16_t>(uint32_t{bytes[0]} << 8 | uint32_t{bytes[1]});
}
inline void StoreBigEndian32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}
inline void StoreBigEndian16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

// ---- handshake ------------------------------------------------------------

inline constexpr size_t kHandshakeSize = 68;
inline constexpr size_t kHandshakeInfoHashOffset = 28;
inline constexpr size_t kHandshakePeerIdOffset = 48;
// Enough to tell which torrent a handshake is for: through the info hash.
inline constexpr size_t kHandshakeHeaderSize = kHandshakePeerIdOffset;
using Handshake = std::array<uint8_t, kHandshakeSize>;

// 19, "BitTorrent protocol", eight zero bytes, the info hash, the peer id.
Handshake BuildHandshake(const InfoHash& infoHash, const PeerIdentity& peerId);

enum class HandshakeStatus {
    kNeedMore,         // every byte so far fits; the rest has not arrived
    kAccepted,
    kNotBitTorrent,    // the first 20 bytes are not the protocol header
    kForeignInfoHash,  // a handshake for another torrent
    kOwnPeerId,        // this process talking to itself
};

struct HandshakeCheck {
    HandshakeStatus status = HandshakeStatus::kNeedMore;
    PeerIdentity remotePeerId{};  // set when accepted
};

// Judges the start of `received`. A mismatch in the bytes already there is
// reported at once, so a stranger is refused without waiting for all 68.
// The reserved bytes are not looked at: other clients set extension bits.
HandshakeCheck CheckHandshake(std::span<const uint8_t> received, const InfoHash& infoHash,
                              const PeerIdentity& ownPeerId);

// The 20 bytes of length and protocol name open `received` (false while fewer are there).
bool OpensWithProtocolHeader(std::span<const uint8_t> received);
// The info hash of a handshake; all zero while fewer than kHandshakeHeaderSize bytes are there.
InfoHash HandshakeInfoHash(std::span<const uint8_t> received);
// The peer id of a handshake; all zero while fewer than kHandshakeSize bytes are there.
PeerIdentity HandshakePeerId(std::span<const uint8_t> received);

// Some peers wrap the handshake behind an HTTP-looking header ("HTTP", "POST",
// "GET"). Its length through the blank line (CRLF CRLF or LF LF, whichever
// comes first); 0 when the bytes do not start like one; -1 while the blank
// line has not arrived. Never reads beyond the bytes given.
long HttpPreambleLength(std::span<const uint8_t> bytes);

// ---- message frames -------------------------------------------------------

enum MessageId : uint8_t {
    kMsgChoke = 0,
    kMsgUnchoke = 1,
    kMsgInterested = 2,
    kMsgNotInterested = 3,
    kMsgHave = 4,
    kMsgBitfield = 5,
    kMsgRequest = 6,
    kMsgPiece = 7,
    kMsgCancel = 8,
};

inline constexpr size_t kLengthPrefixSize = 4;
// Frames declaring more than this (id included) close the connection.
inline constexpr uint32_t kMaxMessageLength = 524288;
// The block size this side asks for and serves; requests beyond it are refused.
inline constexpr uint32_t kWireBlockSize = 16384;
// The largest block a piece message may declare before its frame is refused.
inline constexpr uint32_t kMaxReceivedBlockLength = 131072;
// index and begin in front of a piece message's block.
inline constexpr size_t kPieceHeaderPayload = 8;

enum class WireError : uint8_t {
    kNone,
    kMessageTooLong,     // declared length above the limit
    kWrongPayloadSize,   // a have, request or cancel that is not its fixed size; a piece without a block
    kBlockLength,        // a piece block or a request length outside what is allowed
    kPieceIndex,         // an index at or beyond the piece count
    kBlockBeyondPiece,   // begin + length past the end of that piece
    kBitfieldSize,       // not (piece count + 7) / 8 bytes
    kPieceCountUnknown,  // a bitfield before the piece count is known
};

enum class FrameStatus {
    kNeedMore,   // the frame is not complete yet
    kKeepAlive,  // length 0: drop `used` bytes and go on
    kMessage,    // a whole message: id, payload and `used`
    kError,      // `error` says why; the connection is to be closed
};

struct Frame {
    FrameStatus status = FrameStatus::kNeedMore;
    WireError error = WireError::kNone;
    // Known as soon as the length prefix and the id are there, also while the
    // frame is incomplete, so that a block in transit can be noticed.
    bool headerKnown = false;
    uint8_t id = 0;
    uint32_t length = 0;  // the declared length, id included
    std::span<const uint8_t> payload;
    size_t used = 0;  // bytes the frame takes at the front of the buffer
};

// Reads the frame at the front of `buffer`. A frame longer than `maxLength`
// is an error, and so is one whose declared length cannot suit its id (a
// have, request or cancel of the wrong size; a piece message whose block is
// outside 1..kMaxReceivedBlockLength): both are refused as soon as the five
// header bytes are there, before the body is awaited. Ids beyond 8 are
// reported as messages for the caller to skip.
Frame ReadFrame(std::span<const uint8_t> buffer, uint32_t maxLength = kMaxMessageLength);

// ---- checks on a message's payload ----------------------------------------

// The piece sizes of one torrent, for the range checks. Products are 64-bit.
struct PieceLayout {
    uint32_t pieceLength = 0;
    uint64_t totalSize = 0;

    // Pieces, at most 2^32 - 1 (the wire's index range); 0 when the length is 0.
    uint32_t PieceCount() const;
    // The size of piece `index`, the last one possibly shorter; 0 beyond the count.
    uint32_t PieceSize(uint32_t index) const;
};

// (pieceCount + 7) / 8 without overflow.
uint32_t BitfieldSize(uint32_t pieceCount);

// A have: 4 bytes, an index below the piece count.
WireError ParseHave(std::span<const uint8_t> payload, uint32_t pieceCount, uint32_t& index);

// A bitfield: exactly BitfieldSize(pieceCount) bytes, the piece count known.
// Spare bits in the last byte are not looked at.
WireError CheckBitfield(std::span<const uint8_t> payload, uint32_t pieceCount);
// Set bits for pieces below `pieceCount`; spare bits do not count.
uint32_t CountPieces(std::span<const uint8_t> bitfield, uint32_t pieceCount);

struct BlockRef {
    uint32_t index = 0;
    uint32_t begin = 0;
    uint32_t length = 0;
};

// A request or cancel: 12 bytes, the index in range, a length of 1 to 16384,
// begin + length within that piece.
WireError ParseBlockRequest(std::span<const uint8_t> payload, const PieceLayout& layout, BlockRef& block);

struct PieceBlock {
    uint32_t index = 0;
    uint32_t begin = 0;
    std::span<const uint8_t> data;
};

// A piece message: index and begin, then 1 to kMaxReceivedBlockLength bytes
// lying within that piece. Check for the unreadable-block marker first: it
// is a piece message too but never data.
WireError ParsePiece(std::span<const uint8_t> payload, const PieceLayout& layout, PieceBlock& block);

// ---- the unreadable-block marker ------------------------------------------
// A piece message of length 14: index 0, begin 2, the byte 0x35 and the index
// of the piece the sender could not read.

inline constexpr uint32_t kUnreadableMarkerLength = 14;
inline constexpr uint8_t kUnreadableMarkerByte = 0x35;

// True when the payload of a piece message is the marker; `unreadablePiece`
// is then the piece it names (still to be checked against the piece count).
bool IsUnreadableBlockMarker(std::span<const uint8_t> piecePayload, uint32_t& unreadablePiece);

// ---- messages this side sends ---------------------------------------------

using KeepAliveMessage = std::array<uint8_t, 4>;
using BareMessage = std::array<uint8_t, 5>;
using HaveMessage = std::array<uint8_t, 9>;
using BlockRequestMessage = std::array<uint8_t, 17>;
using PieceMessageHeader = std::array<uint8_t, 13>;
using UnreadableMarkerMessage = std::array<uint8_t, 18>;

KeepAliveMessage BuildKeepAlive();
BareMessage BuildChoke();
BareMessage BuildUnchoke();
BareMessage BuildInterested();
BareMessage BuildNotInterested();
HaveMessage BuildHave(uint32_t index);
// Length, id 5 and the bitfield as given.
std::vector<uint8_t> BuildBitfield(std::span<const uint8_t> bitfield);
BlockRequestMessage BuildRequest(const BlockRef& block);
BlockRequestMessage BuildCancel(const BlockRef& block);
// The 13 bytes in front of a block of `blockLength` bytes; the block follows.
PieceMessageHeader BuildPieceHeader(uint32_t index, uint32_t begin, uint32_t blockLength);
UnreadableMarkerMessage BuildUnreadableBlockMarker(uint32_t unreadablePiece);

}  // namespace veldmoor
