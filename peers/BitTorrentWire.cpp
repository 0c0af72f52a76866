#include "peers/BitTorrentWire.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>

#include "torrent/Bitfield.h"

namespace veldmoor {
namespace {

constexpr std::string_view kProtocolName = "BitTorrent protocol";
constexpr size_t kProtocolHeaderSize = 1 + 19;  // the length byte and the name
constexpr size_t kHeaderSize = kLengthPrefixSize + 1;
constexpr size_t kHavePayload = 4;
constexpr size_t kBlockRequestPayload = 12;

std::array<uint8_t, kProtocolHeaderSize> ProtocolHeader() {
    std::array<uint8_t, kProtocolHeaderSize> header{};
    header[0] = static_cast<uint8_t>(kProtocolName.size());
    std::memcpy(header.data() + 1, kProtocolName.data(), kProtocolName.size());
    return header;
}

// The bytes of `expected` that `received` already holds match.
bool PrefixMatches(std::span<const uint8_t> received, size_t offset, std::span<const uint8_t> expected) {
    if (received.size() <= offset) return true;
    const size_t available = std::min(received.size() - offset, expected.size());
    return std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(available),
                      received.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Whether a frame of `length` bytes (id included) can be a message `id` at all.
WireError CheckDeclaredLength(uint8_t id, uint32_t length) {
    switch (id) {
        case kMsgHave:
            return length == 1 + kHavePayload ? WireError::kNone : WireError::kWrongPayloadSize;
        case kMsgRequest:
        case kMsgCancel:
            return length == 1 + kBlockRequestPayload ? WireError::kNone : WireError::kWrongPayloadSize;
        case kMsgPiece: {
            if (length <= 1 + kPieceHeaderPayload) return WireError::kWrongPayloadSize;
            const uint32_t block = length - 1 - static_cast<uint32_t>(kPieceHeaderPayload);
            return block <= kMaxReceivedBlockLength ? WireError::kNone : WireError::kBlockLength;
        }
        default:
            return WireError::kNone;
    }
}

// begin + length within piece `index`, in 64-bit so that nothing wraps.
WireError CheckBlockRange(const PieceLayout& layout, uint32_t index, uint32_t begin, uint64_t length) {
    if (index >= layout.PieceCount()) return WireError::kPieceIndex;
    if (uint64_t{begin} + length > layout.PieceSize(index)) return WireError::kBlockBeyondPiece;
    return WireError::kNone;
}

BareMessage BuildBare(MessageId id) {
    BareMessage message{};
    StoreBigEndian32(message.data(), 1);
    message[4] = id;
    return message;
}

BlockRequestMessage BuildBlockMessage(MessageId id, const BlockRef& block) {
    BlockRequestMessage message{};
    StoreBigEndian32(message.data(), 1 + kBlockRequestPayload);
    message[4] = id;
    StoreBigEndian32(message.data() + 5, block.index);
    StoreBigEndian32(message.data() + 9, block.begin);
    StoreBigEndian32(message.data() + 13, block.length);
    return message;
}

}  // namespace

Handshake BuildHandshake(const InfoHash& infoHash, const PeerIdentity& peerId) {
    Handshake handshake{};
    const auto header = ProtocolHeader();
    std::copy(header.begin(), header.end(), handshake.begin());
    std::copy(infoHash.begin(), infoHash.end(), handshake.begin() + kHandshakeInfoHashOffset);
    std::copy(peerId.begin(), peerId.end(), handshake.begin() + kHandshakePeerIdOffset);
    return handshake;
}

HandshakeCheck CheckHandshake(std::span<const uint8_t> received, const InfoHash& infoHash,
                              const PeerIdentity& ownPeerId) {
    HandshakeCheck check;
    if (!PrefixMatches(received, 0, ProtocolHeader())) {
        check.status = HandshakeStatus::kNotBitTorrent;
        return check;
    }
    if (!PrefixMatches(received, kHandshakeInfoHashOffset, infoHash)) {
        check.status = HandshakeStatus::kForeignInfoHash;
        return check;
    }
    if (received.size() < kHandshakeSize) return check;
    check.remotePeerId = HandshakePeerId(received);
    check.status = check.remotePeerId == ownPeerId ? HandshakeStatus::kOwnPeerId : HandshakeStatus::kAccepted;
    return check;
}

bool OpensWithProtocolHeader(std::span<const uint8_t> received) {
    const auto header = ProtocolHeader();
    return received.size() >= header.size() && std::equal(header.begin(), header.end(), received.begin());
}

InfoHash HandshakeInfoHash(std::span<const uint8_t> received) {
    InfoHash infoHash{};
    if (received.size() >= kHandshakeHeaderSize)
        std::copy_n(received.begin() + kHandshakeInfoHashOffset, infoHash.size(), infoHash.begin());
    return infoHash;
}

PeerIdentity HandshakePeerId(std::span<const uint8_t> received) {
    PeerIdentity peerId{};
    if (received.size() >= kHandshakeSize) std::copy_n(received.begin() + kHandshakePeerIdOffset, peerId.size(), peerId.begin());
    return peerId;
}

long HttpPreambleLength(std::span<const uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!text.starts_with("HTTP") && !text.starts_with("POST") && !text.starts_with("GET")) return 0;
    const size_t crlf = text.find("\r\n\r\n");
    const size_t lf = text.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) return -1;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) return static_cast<long>(crlf + 4);
    return static_cast<long>(lf + 2);
}

Frame ReadFrame(std::span<const uint8_t> buffer, uint32_t maxLength) {
    Frame frame;
    if (buffer.size() < kLengthPrefixSize) return frame;
    frame.length = LoadBigEndian32(buffer.data());
    if (frame.length == 0) {
        frame.status = FrameStatus::kKeepAlive;
        frame.used = kLengthPrefixSize;
        return frame;
    }
    if (frame.length > maxLength) {
        frame.status = FrameStatus::kError;
        frame.error = WireError::kMessageTooLong;
        return frame;
    }
    if (buffer.size() < kHeaderSize) return frame;
    frame.headerKnown = true;
    frame.id = buffer[kLengthPrefixSize];
    frame.error = CheckDeclaredLength(frame.id, frame.length);
    if (frame.error != WireError::kNone) {
        frame.status = FrameStatus::kError;
        return frame;
    }
    const size_t total = kLengthPrefixSize + size_t{frame.length};
    if (buffer.size() < total) return frame;
    frame.status = FrameStatus::kMessage;
    frame.payload = buffer.subspan(kHeaderSize, total - kHeaderSize);
    frame.used = total;
    return frame;
}

uint32_t PieceLayout::PieceCount() const {
    if (pieceLength == 0) return 0;
    const uint64_t count = totalSize / pieceLength + (totalSize % pieceLength != 0 ? 1 : 0);
    return static_cast<uint32_t>(std::min<uint64_t>(count, std::numeric_limits<uint32_t>::max()));
}

uint32_t PieceLayout::PieceSize(uint32_t index) const {
    if (index >= PieceCount()) return 0;
    const uint64_t start = uint64_t{index} * pieceLength;
    return static_cast<uint32_t>(std::min<uint64_t>(pieceLength, totalSize - start));
}

uint32_t BitfieldSize(uint32_t pieceCount) { return static_cast<uint32_t>(BitfieldBytes(pieceCount)); }

WireError ParseHave(std::span<const uint8_t> payload, uint32_t pieceCount, uint32_t& index) {
    if (payload.size() != kHavePayload) return WireError::kWrongPayloadSize;
    const uint32_t announced = LoadBigEndian32(payload.data());
    if (announced >= pieceCount) return WireError::kPieceIndex;
    index = announced;
    return WireError::kNone;
}

WireError CheckBitfield(std::span<const uint8_t> payload, uint32_t pieceCount) {
    if (pieceCount == 0) return WireError::kPieceCountUnknown;
    return payload.size() == BitfieldSize(pieceCount) ? WireError::kNone : WireError::kBitfieldSize;
}

uint32_t CountPieces(std::span<const uint8_t> bitfield, uint32_t pieceCount) {
    const size_t whole = std::min<size_t>(bitfield.size(), pieceCount / 8);
    uint32_t count = 0;
    for (size_t i = 0; i < whole; ++i) count += static_cast<uint32_t>(std::popcount(bitfield[i]));
    const uint32_t spare = pieceCount % 8;
    if (spare != 0 && bitfield.size() > whole) {
        // The most significant bits belong to the last pieces; the rest are spare.
        const auto used = static_cast<uint8_t>(bitfield[whole] & UsedBitsOfLastByte(pieceCount));
        count += static_cast<uint32_t>(std::popcount(used));
    }
    return count;
}

WireError ParseBlockRequest(std::span<const uint8_t> payload, const PieceLayout& layout, BlockRef& block) {
    if (payload.size() != kBlockRequestPayload) return WireError::kWrongPayloadSize;
    BlockRef parsed{LoadBigEndian32(payload.data()), LoadBigEndian32(payload.data() + 4),
                    LoadBigEndian32(payload.data() + 8)};
    if (parsed.length == 0 || parsed.length > kWireBlockSize) return WireError::kBlockLength;
    const WireError range = CheckBlockRange(layout, parsed.index, parsed.begin, parsed.length);
    if (range != WireError::kNone) return range;
    block = parsed;
    return WireError::kNone;
}

WireError ParsePiece(std::span<const uint8_t> payload, const PieceLayout& layout, PieceBlock& block) {
    if (payload.size() <= kPieceHeaderPayload) return WireError::kWrongPayloadSize;
    const size_t blockLength = payload.size() - kPieceHeaderPayload;
    if (blockLength > kMaxReceivedBlockLength) return WireError::kBlockLength;
    const uint32_t index = LoadBigEndian32(payload.data());
    const uint32_t begin = LoadBigEndian32(payload.data() + 4);
    const WireError range = CheckBlockRange(layout, index, begin, blockLength);
    if (range != WireError::kNone) return range;
    block = PieceBlock{index, begin, payload.subspan(kPieceHeaderPayload)};
    return WireError::kNone;
}

bool IsUnreadableBlockMarker(std::span<const uint8_t> piecePayload, uint32_t& unreadablePiece) {
    if (piecePayload.size() != kUnreadableMarkerLength - 1) return false;
    if (LoadBigEndian32(piecePayload.data()) != 0 || LoadBigEndian32(piecePayload.data() + 4) != 2 ||
        piecePayload[8] != kUnreadableMarkerByte)
        return false;
    unreadablePiece = LoadBigEndian32(piecePayload.data() + 9);
    return true;
}

KeepAliveMessage BuildKeepAlive() { return KeepAliveMessage{}; }
BareMessage BuildChoke() { return BuildBare(kMsgChoke); }
BareMessage BuildUnchoke() { return BuildBare(kMsgUnchoke); }
BareMessage BuildInterested() { return BuildBare(kMsgInterested); }
BareMessage BuildNotInterested() { return BuildBare(kMsgNotInterested); }

HaveMessage BuildHave(uint32_t index) {
    HaveMessage message{};
    StoreBigEndian32(message.data(), 1 + kHavePayload);
    message[4] = kMsgHave;
    StoreBigEndian32(message.data() + 5, index);
    return message;
}

std::vector<uint8_t> BuildBitfield(std::span<const uint8_t> bitfield) {
    std::vector<uint8_t> message(kHeaderSize + bitfield.size());
    StoreBigEndian32(message.data(), static_cast<uint32_t>(1 + bitfield.size()));
    message[4] = kMsgBitfield;
    std::copy(bitfield.begin(), bitfield.end(), message.begin() + kHeaderSize);
    return message;
}

BlockRequestMessage BuildRequest(const BlockRef& block) { return BuildBlockMessage(kMsgRequest, block); }
BlockRequestMessage BuildCancel(const BlockRef& block) { return BuildBlockMessage(kMsgCancel, block); }

PieceMessageHeader BuildPieceHeader(uint32_t index, uint32_t begin, uint32_t blockLength) {
    PieceMessageHeader header{};
    StoreBigEndian32(header.data(), 1 + static_cast<uint32_t>(kPieceHeaderPayload) + blockLength);
    header[4] = kMsgPiece;
    StoreBigEndian32(header.data() + 5, index);
    StoreBigEndian32(header.data() + 9, begin);
    return header;
}

UnreadableMarkerMessage BuildUnreadableBlockMarker(uint32_t unreadablePiece) {
    UnreadableMarkerMessage message{};
    const PieceMessageHeader header = BuildPieceHeader(0, 2, 5);
    std::copy(header.begin(), header.end(), message.begin());
    message[13] = kUnreadableMarkerByte;
    StoreBigEndian32(message.data() + 14, unreadablePiece);
    return message;
}

}  // namespace veldmoor
