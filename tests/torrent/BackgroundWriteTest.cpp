// Complete pieces handed to the map's background writer: the job sees a piece
// verified only once its check passed and its bytes are on disk, corrupt
// pieces come back to be fetched again, and a map stopped with pieces still
// queued leaves nothing recorded that was not written. Runs under TSan in CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

using test::FakeOwner;
using test::MapHolder;

// Three files whose ends fall inside pieces, so pieces go to two files at once.
class BackgroundWrites : public ::testing::Test {
protected:
    static constexpr int64_t kPiece = 32768;

    void SetUp() override {
        owner.folder = dir.Path();
        files = {test::Content(300001, 31), test::Content(500000, 32), test::Content(457000, 33)};
        content = files[0] + files[1] + files[2];
        torrent = test::TorrentWithInfo(test::MultiFileInfo(
            "set", {{{"a.bin"}, files[0]}, {{"b.bin"}, files[1]}, {{"c.bin"}, files[2]}}, kPiece));
        peer = new test::FakeSender("127.0.0.1 : 8080");
    }
    void TearDown() override { peer->Release(); }

    TPieces* Load() {
        test::MapSettings settings;
        settings.writeWindow = 1;  // a 128 KiB queue: the hand-off has to wait for room
        bool loaded = false;
        TPieces* map = test::LoadMap(owner, torrent, settings, &loaded);
        EXPECT_TRUE(loaded);
        map->SetBackgroundWrites(true);
        return map;
    }
    int64_t BlockCount() const { return (static_cast<int64_t>(content.size()) + kBlockSize - 1) / kBlockSize; }
    std::string Block(int64_t block) const {
        return content.substr(static_cast<size_t>(block * kBlockSize), static_cast<size_t>(kBlockSize));
    }
    int Write(TPieces& map, int64_t block, const std::string& bytes) {
        return map.WriteBlock(block, static_cast<int32_t>(bytes.size()), bytes.data(), peer);
    }
    // Every piece the map calls verified reads back from disk as the content.
    void ExpectVerifiedPiecesOnDisk(TPieces& map) {
        std::vector<char> buffer(static_cast<size_t>(kPiece));
        for (int64_t piece = 0; piece < map.PieceCount(); ++piece) {
            if (!map.IsPieceDone(piece)) continue;
            const int32_t length = map.PieceLengthOf(piece);
            ASSERT_EQ(map.ReadPiece(piece, 0, length, buffer.data()), length) << piece;
            EXPECT_TRUE(std::string(buffer.data(), static_cast<size_t>(length)) ==
                        content.substr(static_cast<size_t>(piece * kPiece), static_cast<size_t>(length)))
                << piece;
        }
    }
    std::string Final(const std::string& name) const { return dir.Path() + "/set/" + name; }

    test::TempDir dir;
    FakeOwner owner;
    std::vector<std::string> files;
    std::string content, torrent;
    BlockSender* peer = nullptr;
};

TEST_F(BackgroundWrites, PiecesBecomeVerifiedOnlyWhenCollectedAfterTheirWrite) {
    MapHolder map(Load());
    ASSERT_GT(map->PieceCount(), 30);
    for (int64_t block = 0; block < BlockCount(); ++block) {
        ASSERT_EQ(Write(*map, block, Block(block)), static_cast<int>(Block(block).size())) << block;
        const int64_t end = std::min<int64_t>((block + 1) * kBlockSize, static_cast<int64_t>(content.size()));
        if (end % kPiece == 0 || end == static_cast<int64_t>(content.size())) {
            // Handed over, not verified: nothing asks for it again and nothing records it yet.
            const int64_t piece = (end - 1) / kPiece;
            EXPECT_FALSE(map->IsPieceWanted(piece)) << piece;
            EXPECT_FALSE(map->IsPieceDone(piece)) << piece;
            EXPECT_TRUE(map->HasBlock(block));
        }
        if (block % 7 == 0) {
            map->CollectWrittenPieces();
            ExpectVerifiedPiecesOnDisk(*map);
        }
    }
    EXPECT_EQ(map->PiecesToFetch(), 0);
    map->FinishQueuedWrites();
    EXPECT_TRUE(map->IsComplete());
    EXPECT_EQ(map->BytesAtWriter(), 0);
    EXPECT_EQ(map->HeldBytes(), 0);
    EXPECT_EQ(owner.checks.size(), static_cast<size_t>(map->PieceCount()));
    for (const auto& [sender, matched] : owner.checks) EXPECT_TRUE(matched);
    EXPECT_EQ(owner.deliveries.size(), static_cast<size_t>(map->PieceCount()));
    EXPECT_EQ(owner.CountEvents(kPieceVerifiedEvent), map->PieceCount());
    // Complete files carry their final names as soon as their last piece is collected.
    EXPECT_TRUE(test::ReadFile(Final("a.bin")) == files[0]);
    EXPECT_TRUE(test::ReadFile(Final("b.bin")) == files[1]);
    EXPECT_TRUE(test::ReadFile(Final("c.bin")) == files[2]);
}

TEST_F(BackgroundWrites, ACorruptPieceComesBackToBeFetchedAgain) {
    MapHolder map(Load());
    const int64_t blocksPerPiece = kPiece / kBlockSize;
    // Piece 3 straddles nothing; piece 9 holds the end of a.bin.
    for (const int64_t piece : {3, 9}) {
        for (int64_t block = piece * blocksPerPiece; block < (piece + 1) * blocksPerPiece; ++block) {
            std::string bytes = Block(block);
            if (block == piece * blocksPerPiece + 1) bytes[100] = static_cast<char>(bytes[100] ^ 0x01);
            // The check runs later: the block itself is taken.
            ASSERT_EQ(Write(*map, block, bytes), kBlockSize);
        }
    }
    map->FinishQueuedWrites();
    EXPECT_EQ(owner.corruptPieces, (std::vector<std::pair<BlockSender*, int32_t>>{{peer, 3}, {peer, 9}}));
    ASSERT_EQ(owner.checks.size(), 2u);
    EXPECT_FALSE(owner.checks[0].second);
    EXPECT_FALSE(owner.checks[1].second);
    for (const int64_t piece : {3, 9}) {
        EXPECT_FALSE(map->IsPieceDone(piece));
        EXPECT_TRUE(map->IsPieceWanted(piece));
        EXPECT_EQ(map->FirstMissingByte(piece), 0);
    }
    EXPECT_EQ(map->PiecesVerified(), 0);

    for (int64_t block = 3 * blocksPerPiece; block < 4 * blocksPerPiece; ++block)
        ASSERT_EQ(Write(*map, block, Block(block)), kBlockSize);
    map->FinishQueuedWrites();
    EXPECT_TRUE(map->IsPieceDone(3));
    EXPECT_EQ(map->PiecesVerified(), 1);
    ExpectVerifiedPiecesOnDisk(*map);
}

TEST_F(BackgroundWrites, AMapStoppedWithPiecesQueuedRecordsOnlyWrittenPieces) {
    std::string savedBits;
    {
        MapHolder map(Load());
        for (int64_t block = 0; block < BlockCount(); ++block) {
            ASSERT_GT(Write(*map, block, Block(block)), 0);
            if (block == BlockCount() / 2) map->CollectWrittenPieces();
        }
        map->SaveStatus();
        savedBits = owner.bitsText;
        ExpectVerifiedPiecesOnDisk(*map);
        // Released with pieces still at the writer: they are dropped, not recorded.
    }
    ASSERT_FALSE(savedBits.empty());
    // The files hold at least every piece the saved status called verified.
    owner.events.clear();
    test::MapSettings settings;
    bool loaded = false;
    MapHolder again(test::LoadMap(owner, torrent, settings, &loaded));
    ASSERT_TRUE(loaded);
    ExpectVerifiedPiecesOnDisk(*again);
    EXPECT_GT(again->PiecesVerified(), 0);
}

TEST_F(BackgroundWrites, TheEndOfARunWaitsForQueuedPiecesAndKeepsThem) {
    MapHolder map(Load());
    for (int64_t block = 0; block < BlockCount(); ++block) ASSERT_GT(Write(*map, block, Block(block)), 0);
    const int64_t pieces = map->PieceCount();
    map->Reset();
    EXPECT_EQ(owner.checks.size(), static_cast<size_t>(pieces));
    EXPECT_EQ(owner.CountEvents(kPieceVerifiedEvent), pieces);
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string name = std::string(1, static_cast<char>('a' + i)) + ".bin";
        EXPECT_TRUE(test::ReadFile(Final(name)) == files[i]) << name;
    }
}

}  // namespace
}  // namespace veldmoor
