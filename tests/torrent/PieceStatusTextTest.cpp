#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "torrent/PieceStatusText.h"

namespace veldmoor {
namespace {

std::string Bytes(const uint8_t* data, size_t length) { return std::string(reinterpret_cast<const char*>(data), length); }

uint32_t Adler(uint32_t start, const std::string& bytes) {
    return static_cast<uint32_t>(adler32_z(start, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// The "bits" text, written out here from its layout: a dictionary of the info
// hash, each file's path followed by its Low, High, Size and Priority, the
// partial pieces (Index, Part, Status image, CRC32 of the image started from
// the index), the bits and their check (Adler-32 started from the Adler-32 of
// the info hash). Texts saved by earlier versions must stay readable.
TEST(PieceStatusText, TheStatusTextKeepsItsLayoutAndReadsBack) {
    PieceStatus status;
    Sha1Digest hash;
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0xA0 + i);
    status.infoHash = hash;
    status.files = {{"/d/game.bin.vmtmp", (uint64_t{7} << 32) | 5, 1000, 0}};
    StatusPiece partial;
    partial.index = 2;
    partial.part = 16384;
    for (size_t i = 0; i < partial.image.size(); ++i) partial.image[i] = static_cast<uint8_t>(i);
    status.partialPieces = {partial};
    status.bits = {0xC0};

    const std::string hashBytes = Bytes(hash.data(), hash.size());
    const std::string image = Bytes(partial.image.data(), partial.image.size());
    const uint32_t imageCheck = Adler(2, image);
    const uint32_t bitsCheck = Adler(Adler(1, hashBytes), std::string(1, '\xC0'));
    const std::string expected = "d8:infohash20:" + hashBytes + "17:/d/game.bin.vmtmp3:Lowi5e4:Highi7e4:Sizei1000e" +
                                 "8:Priorityi0e11:PieceStatusld5:Indexi2e4:Parti16384e6:Status104:" + image +
                                 "5:CRC32i" + std::to_string(imageCheck) + "eee8:BitField1:\xC0" +
                                 "13:BitFieldChecki" + std::to_string(bitsCheck) + "ee";
    const std::string text = EncodePieceStatus(status);
    EXPECT_TRUE(text == expected) << text;

    const std::optional<SavedPieceStatus> saved = SavedPieceStatus::Parse(text);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->InfoHash(), hash);
    EXPECT_TRUE(saved->ListsFile("/d/game.bin.vmtmp"));
    EXPECT_FALSE(saved->ListsFile("/d/game.bin"));
    const auto file = saved->File("/d/game.bin.vmtmp");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->time, (uint64_t{7} << 32) | 5);
    EXPECT_EQ(file->size, 1000);
    EXPECT_EQ(file->priority, 0);
    const auto bits = saved->Bits(1, 2, hash);
    ASSERT_TRUE(bits);
    EXPECT_EQ(*bits, std::vector<uint8_t>{0xC0});
    EXPECT_FALSE(saved->Bits(1, 2, Sha1Digest{})) << "the check covers the info hash";
    EXPECT_FALSE(saved->Bits(1, 1, hash)) << "a bit beyond the last piece";
    EXPECT_FALSE(saved->Bits(2, 16, hash));
    const std::vector<uint8_t> clear{0x00};
    ASSERT_EQ(saved->PartialPieces(3, clear).size(), 1u);
    EXPECT_EQ(saved->PartialPieces(3, clear)[0].image, partial.image);
    EXPECT_TRUE(saved->PartialPieces(3, std::vector<uint8_t>{0x20}).empty()) << "a verified piece has no partial state";
    EXPECT_TRUE(saved->PartialPieces(2, clear).empty()) << "beyond the piece count";
}

TEST(PieceStatusText, FileChoicesNameTheDeselectedFiles) {
    const std::string text = EncodeFileChoices({{"g/a.bin", false}, {"g/b.bin", true}});
    EXPECT_EQ(text, "l7:g/a.bin7:g/b.bini1edee");
    EXPECT_EQ(DeselectedFiles(text), std::set<std::string>{"g/b.bin"});
    EXPECT_TRUE(DeselectedFiles("d3:keyi1ee").empty());
    EXPECT_TRUE(DeselectedFiles("l7:g/b.bi").empty());
}

}  // namespace
}  // namespace veldmoor
