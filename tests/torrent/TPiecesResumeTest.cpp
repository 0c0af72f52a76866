#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

using test::FakeOwner;
using test::MapHolder;

constexpr int64_t kPiece = 262144;
constexpr int64_t kBlocksPerPiece = kPiece / kBlockSize;

uint32_t WordAt(const std::string& bytes, size_t at) {
    return uint32_t{static_cast<uint8_t>(bytes[at])} | uint32_t{static_cast<uint8_t>(bytes[at + 1])} << 8 |
           uint32_t{static_cast<uint8_t>(bytes[at + 2])} << 16 | uint32_t{static_cast<uint8_t>(bytes[at + 3])} << 24;
}

void PutWordAt(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A download stopped in the middle: piece 0 verified; piece 1 with a 128 KiB
// prefix on disk and two later blocks in memory; piece 2 with two blocks in
// memory and no prefix; piece 3, which is short (20000 bytes), holds only the
// content's short last block, 49.
class ResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        owner.folder = dir.Path();
        content = test::Content(static_cast<size_t>(3 * kPiece + 20000), 31);
        torrent = test::TorrentWithInfo(test::SingleFileInfo("game.bin", content, kPiece));
        journal = dir.File("game.bin.vminfodf");
    }

    std::string Block(int64_t block) const {
        return content.substr(static_cast<size_t>(block * kBlockSize), kBlockSize);
    }
    void Write(TPieces& map, int64_t block) {
        const std::string bytes = Block(block);
        ASSERT_EQ(map.WriteBlock(block, static_cast<int32_t>(bytes.size()), bytes.data(), nullptr),
                  static_cast<int>(bytes.size()))
            << block;
    }

    // Runs the first session and leaves its "bits" text and journal behind.
    void StopInTheMiddle(bool withJournal = true) {
        FakeOwner first;
        first.folder = owner.folder;
        test::MapSettings settings;
        if (withJournal) settings.journalPath = journal;
        MapHolder map(test::LoadMap(first, torrent, settings));
        ASSERT_TRUE(map->IsReady());
        for (int64_t block = 0; block < kBlocksPerPiece; ++block) Write(*map, block);
        for (int64_t block = 16; block < 24; ++block) Write(*map, block);
        map->WriteBack();  // piece 1's prefix goes to disk
        Write(*map, 26);
        Write(*map, 27);
        Write(*map, 40);
        Write(*map, 41);
        Write(*map, 49);  // the short last block, alone
        ASSERT_TRUE(map->Flush(true, true));
        map->Reset();
        bits = first.bitsText;
        ASSERT_FALSE(bits.empty());
    }

    TPieces& Restart(const std::string& bitsText) {
        test::MapSettings settings;
        settings.journalPath = journal;
        settings.bitsText = bitsText;
        holder = std::make_unique<MapHolder>(test::LoadMap(owner, torrent, settings));
        EXPECT_TRUE((*holder)->IsReady());
        return **holder;
    }

    // Every piece the map counts as verified holds the right bytes on disk.
    void ExpectVerifiedPiecesAreSound(const TPieces& map) {
        const std::string onDisk = test::ReadFile(map.FileEntry(0).workingPath);
        for (int64_t piece = 0; piece < map.PieceCount(); ++piece) {
            if (!map.IsPieceDone(piece)) continue;
            const size_t at = static_cast<size_t>(piece * kPiece);
            const size_t length = static_cast<size_t>(map.PieceLengthOf(piece));
            ASSERT_GE(onDisk.size(), at + length) << piece;
            EXPECT_EQ(onDisk.compare(at, length, content, at, length), 0) << "piece " << piece;
        }
    }

    test::TempDir dir;
    FakeOwner owner;
    std::unique_ptr<MapHolder> holder;
    std::string content, torrent, journal, bits;
};

TEST_F(ResumeTest, RestartKeepsVerifiedPiecesTheHashedPrefixAndTheJournalBlocks) {
    StopInTheMiddle();
    TPieces& map = Restart(bits);
    EXPECT_TRUE(map.IsPieceDone(0));
    EXPECT_EQ(map.PiecesVerified(), 1);
    for (int64_t block = 16; block < 32; ++block) {
        const bool kept = block < 24 || block == 26 || block == 27;
        EXPECT_EQ(map.HasBlock(block), kept) << block;
    }
    EXPECT_EQ(map.FirstMissingByte(1), 131072);
    EXPECT_TRUE(map.HasBlock(40));
    EXPECT_TRUE(map.HasBlock(41));
    EXPECT_FALSE(map.HasBlock(32));
    EXPECT_TRUE(map.HasBlock(49));
    EXPECT_FALSE(map.HasBlock(48));

    // Only the missing blocks are fetched; the resumed SHA-1 must accept them.
    for (int64_t block : {24, 25, 28, 29, 30, 31, 48}) Write(map, block);
    ASSERT_TRUE(map.Flush(false, false));
    EXPECT_TRUE(map.IsPieceDone(1));
    EXPECT_TRUE(map.IsPieceDone(3));
    EXPECT_TRUE(owner.checks.size() == 2 && owner.checks[0].second && owner.checks[1].second);
    ExpectVerifiedPiecesAreSound(map);
}

TEST_F(ResumeTest, AWorkingFileOfAnotherSizeForcesTheFullCheck) {
    StopInTheMiddle();
    const std::string working = dir.File("game.bin.vmtmp");
    std::string bytes = test::ReadFile(working);
    bytes.push_back('x');
    test::WriteFile(working, bytes);

    TPieces& map = Restart(bits);
    EXPECT_TRUE(map.IsPieceDone(0));  // found good on disk by the check
    EXPECT_EQ(map.PiecesVerified(), 1);
    EXPECT_FALSE(map.HasBlock(16));  // no saved prefix
    EXPECT_FALSE(map.HasBlock(26));  // no journal
    EXPECT_EQ(map.FirstMissingByte(1), 0);
    ExpectVerifiedPiecesAreSound(map);
}

TEST_F(ResumeTest, AWorkingFileChangedInPlaceForcesTheFullCheck) {
    StopInTheMiddle();
    // Same size, other bytes inside the verified piece 0: written by someone else.
    const std::string working = dir.File("game.bin.vmtmp");
    std::string bytes = test::ReadFile(working);
    bytes[1000] = static_cast<char>(bytes[1000] ^ 0x5A);
    test::WriteFile(working, bytes);

    TPieces& map = Restart(bits);
    EXPECT_FALSE(map.IsPieceDone(0));
    EXPECT_EQ(map.PiecesVerified(), 0);
    ExpectVerifiedPiecesAreSound(map);
}

TEST_F(ResumeTest, AStatusEntryWithAWrongCheckValueLeavesOnlyThatPieceToStartOver) {
    StopInTheMiddle(false);
    // Give piece 2 a hashed prefix too, in a second session, then save again.
    {
        FakeOwner second;
        second.folder = owner.folder;
        test::MapSettings settings;
        settings.bitsText = bits;
        MapHolder map(test::LoadMap(second, torrent, settings));
        for (int64_t block = 32; block < 40; ++block) Write(*map, block);
        map->WriteBack();
        ASSERT_TRUE(map->Flush(true, true));
        bits = second.bitsText;
    }
    const size_t at = bits.find("5:CRC32i");
    ASSERT_NE(at, std::string::npos);
    ASSERT_NE(bits.find("5:CRC32i", at + 1), std::string::npos);
    const size_t digit = at + 8;
    bits[digit] = bits[digit] == '1' ? '2' : '1';

    TPieces& map = Restart(bits);
    EXPECT_TRUE(map.IsPieceDone(0));
    EXPECT_EQ(map.FirstMissingByte(1), 0);
    EXPECT_FALSE(map.HasBlock(16));
    EXPECT_EQ(map.FirstMissingByte(2), 131072);
    EXPECT_TRUE(map.HasBlock(32));
}

TEST_F(ResumeTest, AStatusEntryWhoseStateDoesNotMatchItsPartIsIgnored) {
    StopInTheMiddle(false);
    const std::string part = "4:Parti131072e";
    const size_t at = bits.find(part);
    ASSERT_NE(at, std::string::npos);
    bits.replace(at, part.size(), "4:Parti114688e");  // the check value covers the state only
    TPieces& map = Restart(bits);
    EXPECT_TRUE(map.IsPieceDone(0));
    EXPECT_EQ(map.FirstMissingByte(1), 0);
}

// The journal's bytes, rebuilt here from its layout: per piece a header (body
// length, check value, index, 0), a body header (bytes held, hashed prefix,
// block count, 0) and 16400-byte entries (offset, 16384, the slot zero-padded,
// 8 zero bytes). Files left by earlier versions must stay readable.
TEST_F(ResumeTest, TheJournalKeepsItsRecordLayout) {
    StopInTheMiddle();
    const std::string infoHash = test::Sha1Bytes(test::SingleFileInfo("game.bin", content, kPiece));
    const auto word = [](uint32_t value) {
        std::string bytes(4, '\0');
        PutWordAt(bytes, 0, value);
        return bytes;
    };
    struct Record {
        uint32_t piece;
        uint32_t prefix;
        std::vector<uint32_t> slots;  // offsets in the piece
    };
    const Record records[] = {{1, 131072, {163840, 180224}}, {2, 0, {131072, 147456}}, {3, 0, {16384}}};
    std::string expected;
    for (const Record& record : records) {
        const int64_t pieceStart = int64_t{record.piece} * kPiece;
        const int64_t pieceLength = std::min<int64_t>(kPiece, static_cast<int64_t>(content.size()) - pieceStart);
        std::string entries;
        uint32_t held = 0;
        for (const uint32_t slot : record.slots) {
            const size_t size = static_cast<size_t>(std::min<int64_t>(kBlockSize, pieceLength - slot));
            std::string data = content.substr(static_cast<size_t>(pieceStart + slot), size);
            data.resize(kBlockSize, '\0');
            entries += word(slot) + word(kBlockSize) + data + std::string(8, '\0');
            held += static_cast<uint32_t>(size);
        }
        const std::string body = word(held) + word(record.prefix) + word(static_cast<uint32_t>(record.slots.size())) +
                                 word(0) + entries;
        const uLong seed = adler32_z(record.piece, reinterpret_cast<const Bytef*>(infoHash.data()), infoHash.size());
        const uint32_t check =
            static_cast<uint32_t>(adler32_z(seed, reinterpret_cast<const Bytef*>(body.data()), body.size()));
        expected += word(static_cast<uint32_t>(body.size())) + word(check) + word(record.piece) + word(0) + body;
    }
    EXPECT_TRUE(test::ReadFile(journal) == expected) << "the journal's bytes differ from its layout";
}

TEST_F(ResumeTest, JournalReadingStopsAtTheFirstBadRecord) {
    StopInTheMiddle();
    const std::string original = test::ReadFile(journal);
    const size_t second = 16 + WordAt(original, 0);
    ASSERT_LT(second + 16, original.size());
    ASSERT_EQ(WordAt(original, 8), 1u);
    ASSERT_EQ(WordAt(original, second + 8), 2u);

    // A record whose body no longer matches the piece's prefix, with a valid
    // check value: Adler-32 of the body, started from the Adler-32 of the info
    // hash that was itself started from the piece index (1 here).
    const std::string infoHash = test::Sha1Bytes(test::SingleFileInfo("game.bin", content, kPiece));
    std::string shiftedPrefix = original;
    PutWordAt(shiftedPrefix, 16 + 4, 114688);
    const uLong recordSeed = adler32_z(1, reinterpret_cast<const Bytef*>(infoHash.data()), infoHash.size());
    const uint32_t check = static_cast<uint32_t>(
        adler32_z(recordSeed, reinterpret_cast<const Bytef*>(shiftedPrefix.data() + 16), WordAt(shiftedPrefix, 0)));
    PutWordAt(shiftedPrefix, 4, check);

    struct Case {
        const char* what;
        std::string journalBytes;
        bool pieceOneBlocks;
        bool pieceOnePrefix;
        bool pieceTwoBlocks;
    };
    std::string firstCheckBroken = original;
    firstCheckBroken[4] = static_cast<char>(firstCheckBroken[4] ^ 1);
    std::string secondCheckBroken = original;
    secondCheckBroken[second + 4] = static_cast<char>(secondCheckBroken[second + 4] ^ 1);
    std::string dataBroken = original;
    dataBroken[second + 16 + 16 + 8 + 100] = static_cast<char>(dataBroken[second + 16 + 16 + 8 + 100] ^ 0x10);
    const std::vector<Case> cases = {
        {"intact", original, true, true, true},
        {"first check value wrong", firstCheckBroken, false, true, false},
        {"second check value wrong", secondCheckBroken, true, true, false},
        {"second record's data damaged", dataBroken, true, true, false},
        {"cut inside the second record", original.substr(0, second + 5000), true, true, false},
        {"cut inside a header", original.substr(0, second + 7), true, true, false},
        {"prefix disagrees with the saved status", shiftedPrefix, false, false, false},
        {"empty", std::string(), false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteFile(journal, c.journalBytes);
        TPieces& map = Restart(bits);
        EXPECT_TRUE(map.IsPieceDone(0));
        EXPECT_EQ(map.HasBlock(26), c.pieceOneBlocks);
        EXPECT_EQ(map.HasBlock(16), c.pieceOnePrefix);
        EXPECT_EQ(map.HasBlock(40), c.pieceTwoBlocks);
        holder.reset();
    }
}

TEST_F(ResumeTest, DamagedStatusTextsNeverCountABadPiece) {
    StopInTheMiddle();
    const std::string journalBytes = test::ReadFile(journal);
    std::vector<std::string> damaged;
    for (size_t cut = 0; cut < bits.size(); cut += 9) damaged.push_back(bits.substr(0, cut));
    for (size_t at = 0; at < bits.size(); at += 3) {
        std::string flipped = bits;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x21);
        damaged.push_back(flipped);
    }
    // A bitfield that claims every piece.
    const size_t field = bits.find("8:BitField1:");
    ASSERT_NE(field, std::string::npos);
    std::string allSet = bits;
    allSet[field + 12] = static_cast<char>(0xF0);
    damaged.push_back(allSet);

    for (const std::string& text : damaged) {
        test::WriteFile(journal, journalBytes);
        TPieces& map = Restart(text);
        ASSERT_LE(map.PiecesVerified(), 1);
        ExpectVerifiedPiecesAreSound(map);
        holder.reset();
    }
}

TEST_F(ResumeTest, ACompletedDownloadDeletesItsJournal) {
    StopInTheMiddle();
    ASSERT_TRUE(platform::FileExists(journal));
    TPieces& map = Restart(bits);
    for (int64_t block = 0; block < 50; ++block) {
        if (!map.HasBlock(block)) Write(map, block);
    }
    ASSERT_TRUE(map.Flush(true, true));
    ASSERT_TRUE(map.IsComplete());
    map.Reset();
    EXPECT_FALSE(platform::FileExists(journal));
    EXPECT_EQ(test::ReadFile(dir.File("game.bin")), content);
}

}  // namespace
}  // namespace veldmoor
