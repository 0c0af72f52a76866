#include <gtest/gtest.h>

#include <vector>

#include "torrent/Bitfield.h"

namespace veldmoor {
namespace {

TEST(BitfieldTest, PieceZeroIsTheHighBitOfTheFirstByte) {
    std::vector<uint8_t> bits(2, 0);
    EXPECT_TRUE(SetBit(bits, 0, true));
    EXPECT_TRUE(SetBit(bits, 9, true));
    EXPECT_EQ(bits, (std::vector<uint8_t>{0x80, 0x40}));
    EXPECT_FALSE(SetBit(bits, 9, true)) << "no change";
    EXPECT_TRUE(HasBit(bits, 0) && HasBit(bits, 9) && !HasBit(bits, 1) && !HasBit(bits, 8));
    EXPECT_TRUE(SetBit(bits, 0, false));
    EXPECT_EQ(bits, (std::vector<uint8_t>{0x00, 0x40}));
}

TEST(BitfieldTest, IndexesOutsideTheBytesAreNeverSetNorRead) {
    std::vector<uint8_t> bits(1, 0xFF);
    for (const int64_t index : {int64_t{-1}, int64_t{-8}, int64_t{8}, int64_t{1} << 40}) {
        EXPECT_FALSE(HasBit(bits, index)) << index;
        EXPECT_FALSE(SetBit(bits, index, false)) << index;
    }
    EXPECT_EQ(bits, std::vector<uint8_t>{0xFF});
}

TEST(BitfieldTest, SpareBitsAfterTheLastPiece) {
    struct Case {
        uint64_t count;
        uint8_t last;
        bool spare;
        uint8_t cleared;
    };
    for (const Case& c : {Case{8, 0xFF, false, 0xFF}, Case{10, 0xC0, false, 0xC0}, Case{10, 0xE0, true, 0xC0},
                          Case{9, 0x01, true, 0x00}, Case{16, 0x01, false, 0x01}}) {
        std::vector<uint8_t> bits(BitfieldBytes(c.count), 0);
        bits.back() = c.last;
        EXPECT_EQ(HasSpareBits(bits, c.count), c.spare) << c.count;
        ClearSpareBits(bits, c.count);
        EXPECT_EQ(bits.back(), c.cleared) << c.count;
    }
    EXPECT_EQ(BitfieldBytes(0), 0u);
    EXPECT_EQ(BitfieldBytes(17), 3u);
    EXPECT_FALSE(AnyBitSet(std::vector<uint8_t>(3, 0)));
    EXPECT_TRUE(AnyBitSet(std::vector<uint8_t>{0, 0, 1}));
}

}  // namespace
}  // namespace veldmoor
