// The peer wire without a connection: the handshake, frames arriving in any
// split, the range checks a hostile peer must not get past, the messages this
// side writes, and the marker for a block the sender could not read.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "peers/BitTorrentWire.h"

namespace veldmoor {
namespace {

using Bytes = std::vector<uint8_t>;

// "00 00 00 01 02" -> bytes; blanks are ignored.
Bytes Hex(const std::string& text) {
    Bytes bytes;
    std::string digits;
    for (const char c : text) {
        if (c == ' ') continue;
        digits.push_back(c);
        if (digits.size() == 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

template <typename Container>
Bytes ToBytes(const Container& container) {
    return Bytes(container.begin(), container.end());
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// A frame with any length, id and payload, checked or not.
Bytes RawFrame(uint32_t length, uint8_t id, const Bytes& payload = {}) {
    Bytes frame(5);
    StoreBigEndian32(frame.data(), length);
    frame[4] = id;
    Append(frame, payload);
    return frame;
}

Bytes Message(uint8_t id, const Bytes& payload = {}) {
    return RawFrame(static_cast<uint32_t>(1 + payload.size()), id, payload);
}

Bytes Be32(uint32_t value) {
    Bytes bytes(4);
    StoreBigEndian32(bytes.data(), value);
    return bytes;
}

Bytes Be32s(std::initializer_list<uint32_t> values) {
    Bytes bytes;
    for (const uint32_t value : values) Append(bytes, Be32(value));
    return bytes;
}

InfoHash SampleInfoHash() {
    InfoHash hash{};
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0xA0 + i);
    return hash;
}

PeerIdentity SamplePeerId(uint8_t seed) {
    PeerIdentity id{};
    for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(seed + i);
    return id;
}

// ---- handshake ------------------------------------------------------------

TEST(BitTorrentHandshakeTest, IsTheSixtyEightByteLayout) {
    const Handshake handshake = BuildHandshake(SampleInfoHash(), SamplePeerId(1));
    Bytes expected{19};
    const std::string name = "BitTorrent protocol";
    expected.insert(expected.end(), name.begin(), name.end());
    expected.resize(28, 0);
    Append(expected, ToBytes(SampleInfoHash()));
    Append(expected, ToBytes(SamplePeerId(1)));
    EXPECT_EQ(ToBytes(handshake), expected);
}

struct HandshakeCase {
    const char* name;
    size_t keep;  // bytes of the (edited) handshake that have arrived
    void (*edit)(Bytes&);
    HandshakeStatus status;
};

class HandshakeCheckTest : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeCheckTest, Judges) {
    const PeerIdentity own = SamplePeerId(1);
    Bytes received = ToBytes(BuildHandshake(SampleInfoHash(), SamplePeerId(50)));
    GetParam().edit(received);
    received.resize(GetParam().keep);
    const HandshakeCheck check = CheckHandshake(received, SampleInfoHash(), own);
    EXPECT_EQ(check.status, GetParam().status);
    if (check.status == HandshakeStatus::kAccepted) {
        EXPECT_EQ(check.remotePeerId, SamplePeerId(50));
    }
}

void Unchanged(Bytes&) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandshakeCheckTest,
    ::testing::Values(
        HandshakeCase{"Whole", 68, Unchanged, HandshakeStatus::kAccepted},
        HandshakeCase{"FollowedByMessages", 68, [](Bytes& b) { Append(b, Message(kMsgUnchoke)); },
                      HandshakeStatus::kAccepted},
        HandshakeCase{"ReservedBitsSet", 68, [](Bytes& b) { b[25] = 0x10; }, HandshakeStatus::kAccepted},
        HandshakeCase{"Nothing", 0, Unchanged, HandshakeStatus::kNeedMore},
        HandshakeCase{"ThroughInfoHashOnly", 48, Unchanged, HandshakeStatus::kNeedMore},
        HandshakeCase{"OneShort", 67, Unchanged, HandshakeStatus::kNeedMore},
        HandshakeCase{"WrongLengthByte", 1, [](Bytes& b) { b[0] = 18; }, HandshakeStatus::kNotBitTorrent},
        HandshakeCase{"WrongNameSeenEarly", 12, [](Bytes& b) { b[11] = 'X'; }, HandshakeStatus::kNotBitTorrent},
        HandshakeCase{"HttpPreamble", 68, [](Bytes& b) { std::copy_n("GET / HTTP/1.0\r\n", 16, b.begin()); },
                      HandshakeStatus::kNotBitTorrent},
        HandshakeCase{"ForeignHashSeenEarly", 30, [](Bytes& b) { b[29] ^= 1; }, HandshakeStatus::kForeignInfoHash},
        HandshakeCase{"ForeignHashLastByte", 68, [](Bytes& b) { b[47] ^= 1; }, HandshakeStatus::kForeignInfoHash},
        HandshakeCase{"OwnPeerId", 68, [](Bytes& b) { std::copy_n(SamplePeerId(1).begin(), 20, b.begin() + 48); },
                      HandshakeStatus::kOwnPeerId}),
    [](const ::testing::TestParamInfo<HandshakeCase>& param) { return std::string(param.param.name); });

// ---- frames ---------------------------------------------------------------

struct Seen {
    FrameStatus status;
    uint8_t id;
    Bytes payload;
    bool operator==(const Seen&) const = default;
};

// Feeds `stream` in chunks of `chunk` bytes into a receive buffer and takes
// out every frame as soon as it is complete, as a connection would.
std::vector<Seen> ReadInChunks(const Bytes& stream, size_t chunk) {
    std::vector<Seen> seen;
    Bytes buffer;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const size_t end = std::min(stream.size(), at + chunk);
        buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                      stream.begin() + static_cast<std::ptrdiff_t>(end));
        for (;;) {
            const Frame frame = ReadFrame(buffer);
            if (frame.status == FrameStatus::kNeedMore) break;
            if (frame.status == FrameStatus::kError) {
                seen.push_back({frame.status, 0, {}});
                return seen;
            }
            EXPECT_GT(frame.used, 0u);
            seen.push_back({frame.status, frame.id, Bytes(frame.payload.begin(), frame.payload.end())});
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(frame.used));
        }
    }
    EXPECT_TRUE(buffer.empty()) << buffer.size() << " bytes left over";
    return seen;
}

TEST(BitTorrentFrameTest, EverySplitOfAStreamGivesTheSameMessages) {
    Bytes block(300);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    Bytes piecePayload = Be32s({3, 16384});
    Append(piecePayload, block);

    const std::vector<Seen> expected{
        {FrameStatus::kMessage, kMsgBitfield, Hex("ff 80")},
        {FrameStatus::kMessage, kMsgHave, Be32s({4})},
        {FrameStatus::kKeepAlive, 0, {}},
        {FrameStatus::kMessage, kMsgUnchoke, {}},
        {FrameStatus::kMessage, kMsgPiece, piecePayload},
        {FrameStatus::kKeepAlive, 0, {}},
        {FrameStatus::kKeepAlive, 0, {}},
        {FrameStatus::kMessage, 20, Hex("00 64 31 3a 65")},  // an extension message: skipped by the caller
        {FrameStatus::kMessage, kMsgRequest, Be32s({1, 0, 16384})},
    };
    Bytes stream;
    for (const Seen& message : expected) {
        Append(stream, message.status == FrameStatus::kKeepAlive ? ToBytes(BuildKeepAlive())
                                                                 : Message(message.id, message.payload));
    }
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        EXPECT_EQ(ReadInChunks(stream, chunk), expected) << "chunk size " << chunk;
    }
}

TEST(BitTorrentFrameTest, BlockInTransitIsKnownBeforeItIsWhole) {
    Bytes payload = Be32s({2, 0});
    payload.resize(8 + 16384, 0x5A);
    const Bytes whole = Message(kMsgPiece, payload);

    const Bytes prefixOnly(whole.begin(), whole.begin() + 4);
    EXPECT_FALSE(ReadFrame(prefixOnly).headerKnown);

    const Bytes part(whole.begin(), whole.begin() + 1000);
    const Frame frame = ReadFrame(part);
    EXPECT_EQ(frame.status, FrameStatus::kNeedMore);
    EXPECT_TRUE(frame.headerKnown);
    EXPECT_EQ(frame.id, kMsgPiece);
    EXPECT_EQ(frame.length, 9u + 16384u);
}

struct BadFrameCase {
    const char* name;
    Bytes bytes;  // only as many as needed for the refusal: bodies never arrive
    WireError error;
    uint32_t maxLength = kMaxMessageLength;
};

class BadFrameTest : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrameTest, IsRefusedWithoutWaitingForTheBody) {
    const Frame frame = ReadFrame(GetParam().bytes, GetParam().maxLength);
    EXPECT_EQ(frame.status, FrameStatus::kError);
    EXPECT_EQ(frame.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFrameTest,
    ::testing::Values(
        BadFrameCase{"OversizeFromThePrefixAlone", Be32(kMaxMessageLength + 1), WireError::kMessageTooLong},
        BadFrameCase{"LargestPrefix", Hex("ff ff ff ff"), WireError::kMessageTooLong},
        BadFrameCase{"CallersTighterLimit", Be32(1001), WireError::kMessageTooLong, 1000},
        BadFrameCase{"HaveTooLong", RawFrame(6, kMsgHave), WireError::kWrongPayloadSize},
        BadFrameCase{"HaveTooShort", RawFrame(4, kMsgHave), WireError::kWrongPayloadSize},
        BadFrameCase{"RequestTooShort", RawFrame(12, kMsgRequest), WireError::kWrongPayloadSize},
        BadFrameCase{"CancelTooLong", RawFrame(14, kMsgCancel), WireError::kWrongPayloadSize},
        BadFrameCase{"PieceWithoutBlock", RawFrame(9, kMsgPiece), WireError::kWrongPayloadSize},
        BadFrameCase{"PieceBlockBeyondLimit", RawFrame(9 + 131073, kMsgPiece), WireError::kBlockLength}),
    [](const ::testing::TestParamInfo<BadFrameCase>& param) { return std::string(param.param.name); });

TEST(BitTorrentFrameTest, LargestAllowedPieceFrameIsAwaited) {
    const Frame frame = ReadFrame(RawFrame(9 + kMaxReceivedBlockLength, kMsgPiece));
    EXPECT_EQ(frame.status, FrameStatus::kNeedMore);
    EXPECT_EQ(frame.error, WireError::kNone);
}

// ---- range checks ---------------------------------------------------------

// Three pieces of 32 KiB and a last one of 1000 bytes.
constexpr PieceLayout kLayout{32768, 3 * 32768 + 1000};

TEST(PieceLayoutTest, CountsAndSizesIn64Bit) {
    EXPECT_EQ(kLayout.PieceCount(), 4u);
    EXPECT_EQ(kLayout.PieceSize(2), 32768u);
    EXPECT_EQ(kLayout.PieceSize(3), 1000u);
    EXPECT_EQ(kLayout.PieceSize(4), 0u);
    EXPECT_EQ((PieceLayout{32768, 3 * 32768}).PieceCount(), 3u);
    EXPECT_EQ((PieceLayout{0, 1000}).PieceCount(), 0u);

    // 10 GiB + 5 bytes in 4 MiB pieces: index x length passes 2^32.
    constexpr PieceLayout large{4u << 20, (uint64_t{10} << 30) + 5};
    EXPECT_EQ(large.PieceCount(), 2561u);
    EXPECT_EQ(large.PieceSize(2559), 4u << 20);
    EXPECT_EQ(large.PieceSize(2560), 5u);
}

struct HaveCase {
    Bytes payload;
    WireError error;
};

class HaveRangeTest : public ::testing::TestWithParam<HaveCase> {};

TEST_P(HaveRangeTest, Checks) {
    uint32_t index = 999;
    EXPECT_EQ(ParseHave(GetParam().payload, kLayout.PieceCount(), index), GetParam().error);
    if (GetParam().error == WireError::kNone) {
        EXPECT_EQ(index, LoadBigEndian32(GetParam().payload.data()));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HaveRangeTest,
                         ::testing::Values(HaveCase{Be32(0), WireError::kNone}, HaveCase{Be32(3), WireError::kNone},
                                           HaveCase{Be32(4), WireError::kPieceIndex},
                                           HaveCase{Be32(0xFFFFFFFF), WireError::kPieceIndex},
                                           HaveCase{Hex("00 00 01"), WireError::kWrongPayloadSize}));

struct BitfieldCase {
    uint32_t pieceCount;
    Bytes payload;
    WireError error;
};

class BitfieldSizeTest : public ::testing::TestWithParam<BitfieldCase> {};

TEST_P(BitfieldSizeTest, MustBeExactlyOneBitPerPiece) {
    EXPECT_EQ(CheckBitfield(GetParam().payload, GetParam().pieceCount), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, BitfieldSizeTest,
                         ::testing::Values(BitfieldCase{10, Hex("ff c0"), WireError::kNone},
                                           BitfieldCase{8, Hex("ff"), WireError::kNone},
                                           BitfieldCase{10, Hex("ff"), WireError::kBitfieldSize},
                                           BitfieldCase{10, Hex("ff c0 00"), WireError::kBitfieldSize},
                                           BitfieldCase{9, Hex(""), WireError::kBitfieldSize},
                                           BitfieldCase{0, Hex("ff"), WireError::kPieceCountUnknown}));

TEST(BitfieldTest, SpareBitsAreIgnored) {
    EXPECT_EQ(CountPieces(Hex("ff ff"), 10), 10u);
    EXPECT_EQ(CountPieces(Hex("00 3f"), 10), 0u);
    EXPECT_EQ(CountPieces(Hex("81 40"), 10), 3u);
    EXPECT_EQ(CountPieces(Hex("ff"), 8), 8u);
    EXPECT_EQ(CountPieces(Hex("ff"), 10), 8u) << "a short map counts what it has, never reads beyond";
    EXPECT_EQ(CountPieces(Hex(""), 10), 0u);
}

struct BlockCase {
    const char* name;
    uint32_t index;
    uint32_t begin;
    uint32_t length;
    WireError error;
};

const std::vector<BlockCase> kBlockCases{
    {"FirstBlock", 0, 0, 16384, WireError::kNone},
    {"SecondBlock", 0, 16384, 16384, WireError::kNone},
    {"ShortLastPiece", 3, 0, 1000, WireError::kNone},
    {"OneByte", 2, 32767, 1, WireError::kNone},
    {"PastPieceEnd", 0, 16385, 16384, WireError::kBlockBeyondPiece},
    {"PastShortLastPiece", 3, 0, 1001, WireError::kBlockBeyondPiece},
    {"BeginWouldWrap", 0, 0xFFFFFFFF, 16384, WireError::kBlockBeyondPiece},
    {"IndexAtCount", 4, 0, 16384, WireError::kPieceIndex},
    {"IndexHuge", 0xFFFFFFFF, 0, 16384, WireError::kPieceIndex},
};

class BlockRequestRangeTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockRequestRangeTest, Checks) {
    const BlockCase& c = GetParam();
    BlockRef block;
    EXPECT_EQ(ParseBlockRequest(Be32s({c.index, c.begin, c.length}), kLayout, block), c.error);
    if (c.error == WireError::kNone) {
        EXPECT_EQ(block.index, c.index);
        EXPECT_EQ(block.begin, c.begin);
        EXPECT_EQ(block.length, c.length);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockRequestRangeTest,
    ::testing::ValuesIn([] {
        std::vector<BlockCase> cases = kBlockCases;
        cases.push_back({"LengthZero", 0, 0, 0, WireError::kBlockLength});
        cases.push_back({"LengthAboveBlock", 0, 0, 16385, WireError::kBlockLength});
        cases.push_back({"LengthHuge", 0, 0, 0xFFFFFFFF, WireError::kBlockLength});
        return cases;
    }()),
    [](const ::testing::TestParamInfo<BlockCase>& param) { return std::string(param.param.name); });

class PieceRangeTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(PieceRangeTest, Checks) {
    const BlockCase& c = GetParam();
    Bytes payload = Be32s({c.index, c.begin});
    payload.resize(8 + c.length, 0x11);
    PieceBlock block;
    EXPECT_EQ(ParsePiece(payload, kLayout, block), c.error);
    if (c.error == WireError::kNone) {
        EXPECT_EQ(block.index, c.index);
        EXPECT_EQ(block.begin, c.begin);
        EXPECT_EQ(block.data.size(), c.length);
        EXPECT_EQ(block.data.data(), payload.data() + 8);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PieceRangeTest,
    ::testing::ValuesIn([] {
        std::vector<BlockCase> cases = kBlockCases;
        cases.push_back({"NoBlock", 0, 0, 0, WireError::kWrongPayloadSize});
        cases.push_back({"BlockAboveLimit", 0, 0, 131073, WireError::kBlockLength});
        return cases;
    }()),
    [](const ::testing::TestParamInfo<BlockCase>& param) { return std::string(param.param.name); });

// ---- messages this side writes --------------------------------------------

struct BuiltCase {
    const char* name;
    Bytes built;
    Bytes expected;
};

class BuiltMessageTest : public ::testing::TestWithParam<BuiltCase> {};

TEST_P(BuiltMessageTest, HasTheWireBytes) { EXPECT_EQ(GetParam().built, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, BuiltMessageTest,
    ::testing::Values(
        BuiltCase{"KeepAlive", ToBytes(BuildKeepAlive()), Hex("00 00 00 00")},
        BuiltCase{"Choke", ToBytes(BuildChoke()), Hex("00 00 00 01 00")},
        BuiltCase{"NotInterested", ToBytes(BuildNotInterested()), Hex("00 00 00 01 03")},
        BuiltCase{"InterestedThenUnchoke",
                  [] {
                      Bytes both = ToBytes(BuildInterested());
                      Append(both, ToBytes(BuildUnchoke()));
                      return both;
                  }(),
                  Hex("00 00 00 01 02 00 00 00 01 01")},
        BuiltCase{"Have", ToBytes(BuildHave(0x01020304)), Hex("00 00 00 05 04 01 02 03 04")},
        BuiltCase{"Bitfield", BuildBitfield(Hex("ff c0")), Hex("00 00 00 03 05 ff c0")},
        BuiltCase{"Request", ToBytes(BuildRequest({7, 16384, 16384})),
                  Hex("00 00 00 0d 06 00 00 00 07 00 00 40 00 00 00 40 00")},
        BuiltCase{"Cancel", ToBytes(BuildCancel({7, 0, 1000})),
                  Hex("00 00 00 0d 08 00 00 00 07 00 00 00 00 00 00 03 e8")},
        BuiltCase{"PieceHeader", ToBytes(BuildPieceHeader(7, 16384, 16384)),
                  Hex("00 00 40 09 07 00 00 00 07 00 00 40 00")},
        BuiltCase{"UnreadableMarker", ToBytes(BuildUnreadableBlockMarker(9)),
                  Hex("00 00 00 0e 07 00 00 00 00 00 00 00 02 35 00 00 00 09")}),
    [](const ::testing::TestParamInfo<BuiltCase>& param) { return std::string(param.param.name); });

TEST(WireRoundTripTest, RequestReadsBackThroughTheChecks) {
    const BlockRef sent{3, 0, 1000};
    const auto request = BuildRequest(sent);
    const Frame frame = ReadFrame(request);
    ASSERT_EQ(frame.status, FrameStatus::kMessage);
    EXPECT_EQ(frame.used, request.size());
    BlockRef received;
    ASSERT_EQ(ParseBlockRequest(frame.payload, kLayout, received), WireError::kNone);
    EXPECT_EQ(received.index, sent.index);
    EXPECT_EQ(received.length, sent.length);
}

// ---- the unreadable-block marker ------------------------------------------

TEST(UnreadableMarkerTest, IsRecognisedAfterFraming) {
    const auto marker = BuildUnreadableBlockMarker(123456);
    const Frame frame = ReadFrame(marker);
    ASSERT_EQ(frame.status, FrameStatus::kMessage);
    EXPECT_EQ(frame.id, kMsgPiece);
    EXPECT_EQ(frame.length, kUnreadableMarkerLength);
    uint32_t piece = 0;
    ASSERT_TRUE(IsUnreadableBlockMarker(frame.payload, piece));
    EXPECT_EQ(piece, 123456u);
}

struct NearMarkerCase {
    const char* name;
    Bytes payload;
};

class NearMarkerTest : public ::testing::TestWithParam<NearMarkerCase> {};

TEST_P(NearMarkerTest, IsPlainData) {
    uint32_t piece = 77;
    EXPECT_FALSE(IsUnreadableBlockMarker(GetParam().payload, piece));
    EXPECT_EQ(piece, 77u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearMarkerTest,
    ::testing::Values(NearMarkerCase{"OtherIndex", Hex("00 00 00 01 00 00 00 02 35 00 00 00 09")},
                      NearMarkerCase{"OtherBegin", Hex("00 00 00 00 00 00 00 03 35 00 00 00 09")},
                      NearMarkerCase{"OtherByte", Hex("00 00 00 00 00 00 00 02 36 00 00 00 09")},
                      NearMarkerCase{"OneByteLonger", Hex("00 00 00 00 00 00 00 02 35 00 00 00 09 00")},
                      NearMarkerCase{"OneByteShorter", Hex("00 00 00 00 00 00 00 02 35 00 00 00")}),
    [](const ::testing::TestParamInfo<NearMarkerCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace veldmoor
