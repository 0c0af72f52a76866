#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/ClockThread.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

using test::FakeOwner;
using test::MapHolder;

// Three files that do not line up with pieces or blocks: 5 pieces, 9 blocks.
class ThreeFileTorrent : public ::testing::Test {
protected:
    static constexpr int64_t kPiece = 32768;

    void SetUp() override {
        owner.folder = dir.Path();
        one = test::Content(40000, 11);
        two = test::Content(70000, 12);
        three = test::Content(25000, 13);
        content = one + two + three;
        torrent = test::TorrentWithInfo(test::MultiFileInfo(
            "set", {{{"one.bin"}, one}, {{"sub", "two.bin"}, two}, {{"three.bin"}, three}}, kPiece));
        peer = new test::FakeSender("127.0.0.1 : 8080");
    }
    void TearDown() override { peer->Release(); }

    TPieces& Load(const test::MapSettings& settings = {}) {
        bool loaded = false;
        holder = std::make_unique<MapHolder>(test::LoadMap(owner, torrent, settings, &loaded));
        EXPECT_TRUE(loaded);
        return **holder;
    }

    std::string Block(int64_t block) const {
        return content.substr(static_cast<size_t>(block * kBlockSize), kBlockSize);
    }
    int Write(TPieces& map, int64_t block, const std::string& bytes) {
        return map.WriteBlock(block, static_cast<int32_t>(bytes.size()), bytes.data(), peer);
    }
    std::string Final(const std::string& relative) const { return dir.Path() + "/set/" + relative; }

    test::TempDir dir;
    FakeOwner owner;
    std::unique_ptr<MapHolder> holder;
    std::string one, two, three, content, torrent;
    BlockSender* peer = nullptr;
};

TEST_F(ThreeFileTorrent, BlocksInAnyOrderBecomeTheFilesUnderTheirFinalNames) {
    TPieces& map = Load();
    ASSERT_EQ(map.PieceCount(), 5);
    EXPECT_TRUE(platform::FileExists(Final("sub/two.bin.vmtmp")));
    for (int64_t block : {8, 3, 0, 5, 7, 1, 6, 2, 4}) {
        const std::string bytes = Block(block);
        ASSERT_EQ(Write(map, block, bytes), static_cast<int>(bytes.size())) << block;
    }
    // Verified in memory, not yet on disk.
    EXPECT_EQ(map.PiecesVerified(), 0);
    EXPECT_TRUE(map.HasBlock(4));
    EXPECT_FALSE(map.IsPieceWanted(2));
    ASSERT_EQ(owner.checks.size(), 5u);
    for (const auto& [sender, matched] : owner.checks) {
        EXPECT_EQ(sender, peer);
        EXPECT_TRUE(matched);
    }

    ASSERT_TRUE(map.Flush(true, false));
    EXPECT_TRUE(map.IsComplete());
    EXPECT_EQ(map.CompletedBytes(), 135000);
    EXPECT_EQ(owner.deliveries.size(), 5u);
    EXPECT_EQ(owner.CountEvents(kPieceVerifiedEvent), 5);
    EXPECT_EQ(test::ReadFile(Final("one.bin")), one);
    EXPECT_EQ(test::ReadFile(Final("sub/two.bin")), two);
    EXPECT_EQ(test::ReadFile(Final("three.bin")), three);
    for (const char* name : {"one.bin.vmtmp", "sub/two.bin.vmtmp", "three.bin.vmtmp"}) {
        EXPECT_FALSE(platform::FileExists(Final(name))) << name;
    }
    char buffer[1000];
    ASSERT_EQ(map.ReadPiece(1, 100, 1000, buffer), 1000);
    EXPECT_EQ(std::string(buffer, 1000), content.substr(kPiece + 100, 1000));
    // A verified piece takes nothing more.
    EXPECT_EQ(Write(map, 0, Block(0)), 0);
}

TEST_F(ThreeFileTorrent, ACorruptedBlockFailsItsPieceWhichStartsOver) {
    TPieces& map = Load();
    std::string bad = Block(1);
    bad[500] = static_cast<char>(bad[500] ^ 0x40);
    ASSERT_EQ(Write(map, 0, Block(0)), kBlockSize);
    EXPECT_EQ(Write(map, 1, bad), -99);
    ASSERT_EQ(owner.checks.size(), 1u);
    EXPECT_EQ(owner.checks[0].first, peer);
    EXPECT_FALSE(owner.checks[0].second);
    EXPECT_EQ(owner.corruptPieces, (std::vector<std::pair<BlockSender*, int32_t>>{{peer, 0}}));
    EXPECT_TRUE(map.IsPieceWanted(0));
    EXPECT_FALSE(map.HasBlock(0));
    EXPECT_EQ(map.FirstMissingByte(0), 0);
    EXPECT_EQ(map.HeldBytes(), 0);

    ASSERT_EQ(Write(map, 1, Block(1)), kBlockSize);
    ASSERT_EQ(Write(map, 0, Block(0)), kBlockSize);
    ASSERT_TRUE(map.Flush(false, false));
    EXPECT_TRUE(map.IsPieceDone(0));
    EXPECT_EQ(map.PiecesVerified(), 1);
}

TEST_F(ThreeFileTorrent, RenameNeverReplacesAFileThatAppearedMeanwhile) {
    TPieces& map = Load();
    test::WriteFile(Final("three.bin"), "someone else's file");
    for (int64_t block = 0; block < 9; ++block) ASSERT_GT(Write(map, block, Block(block)), 0);
    ASSERT_TRUE(map.Flush(true, false));
    EXPECT_EQ(test::ReadFile(Final("three.bin")), "someone else's file");
    EXPECT_EQ(test::ReadFile(Final("three.bin.vmtmp")), three);
    EXPECT_EQ(test::ReadFile(Final("one.bin")), one);

    platform::DeleteFileAt(Final("three.bin"));
    ASSERT_TRUE(map.Flush(true, false));
    EXPECT_EQ(test::ReadFile(Final("three.bin")), three);
    EXPECT_FALSE(platform::FileExists(Final("three.bin.vmtmp")));
}

TEST_F(ThreeFileTorrent, AFileThatCannotBeWrittenKeepsItsPieceUnverified) {
    TPieces& map = Load();
    platform::DeleteFileAt(Final("one.bin.vmtmp"));
    platform::CreateDirectories(Final("one.bin.vmtmp"));
    ASSERT_EQ(Write(map, 0, Block(0)), kBlockSize);
    ASSERT_EQ(Write(map, 1, Block(1)), kBlockSize);
    EXPECT_FALSE(map.Flush(true, false));
    EXPECT_GE(owner.CountEvents(kFileUnwritableEvent), 1);
    EXPECT_FALSE(map.IsPieceDone(0));
    EXPECT_EQ(map.PiecesVerified(), 0);
}

TEST_F(ThreeFileTorrent, DeselectedFilesAreSavedAndRestoredAsFileChoices) {
    TPieces& map = Load();
    ASSERT_TRUE(map.SetFilePriority(2, -3));
    // Piece 4 lies inside three.bin alone; piece 3 is shared with two.bin.
    EXPECT_FALSE(map.IsPieceWanted(4));
    EXPECT_TRUE(map.IsPieceWanted(3));
    EXPECT_EQ(map.WantedPieces(), 4);
    EXPECT_EQ(Write(map, 8, Block(8)), 0);
    ASSERT_FALSE(owner.partText.empty());
    EXPECT_NE(owner.partText.find("13:set/three.bini1e"), std::string::npos) << owner.partText;

    test::MapSettings settings;
    settings.partText = owner.partText;
    TPieces& reloaded = Load(settings);
    EXPECT_TRUE(reloaded.FileEntry(2).IsDeselected());
    EXPECT_FALSE(reloaded.FileEntry(1).IsDeselected());
    EXPECT_FALSE(reloaded.IsPieceWanted(4));
}

TEST(PieceWriteTest, BlocksCrossingPieceBoundariesLandInBothPieces) {
    test::TempDir dir;
    FakeOwner owner;
    owner.folder = dir.Path();
    const std::string content = test::Content(50000, 21);
    MapHolder map(test::LoadMap(owner, test::TorrentWithInfo(test::SingleFileInfo("odd.bin", content, 20000))));
    ASSERT_TRUE(map->IsReady());
    for (int64_t block = 3; block >= 0; --block) {
        const std::string bytes = content.substr(static_cast<size_t>(block * kBlockSize), kBlockSize);
        ASSERT_EQ(map->WriteBlock(block, static_cast<int32_t>(bytes.size()), bytes.data(), nullptr),
                  static_cast<int>(bytes.size()));
    }
    ASSERT_TRUE(map->Flush(true, false));
    EXPECT_TRUE(map->IsComplete());
    EXPECT_EQ(test::ReadFile(dir.Path() + "/odd.bin"), content);
}

TEST(PieceWriteTest, WriteBackMovesTheInOrderPrefixToDiskAndTheHashResumesFromIt) {
    test::TempDir dir;
    FakeOwner owner;
    owner.folder = dir.Path();
    const std::string content = test::Content(524288, 22);
    MapHolder map(test::LoadMap(owner, test::TorrentWithInfo(test::SingleFileInfo("p.bin", content, 262144))));
    for (int64_t block = 0; block < 8; ++block) {
        ASSERT_EQ(map->WriteBlock(block, kBlockSize, content.data() + block * kBlockSize, nullptr), kBlockSize);
    }
    map->WriteBack();
    EXPECT_EQ(map->HeldBytes(), 0);
    EXPECT_EQ(map->FirstMissingByte(0), 131072);
    EXPECT_EQ(test::ReadFile(dir.Path() + "/p.bin.vmtmp").substr(0, 131072), content.substr(0, 131072));
    for (int64_t block = 8; block < 16; ++block) {
        ASSERT_EQ(map->WriteBlock(block, kBlockSize, content.data() + block * kBlockSize, nullptr), kBlockSize);
    }
    ASSERT_TRUE(map->Flush(false, false));
    EXPECT_TRUE(map->IsPieceDone(0));
}

TEST(PieceWriteTest, DonePiecesWaitInMemoryWithinTheWriteWindow) {
    test::TempDir dir;
    FakeOwner owner;
    owner.folder = dir.Path();
    const std::string content = test::Content(3 * 65536, 23);
    test::MapSettings settings;
    settings.writeWindow = 1;  // 262144 bytes
    MapHolder map(test::LoadMap(owner, test::TorrentWithInfo(test::SingleFileInfo("w.bin", content, 65536)), settings));
    for (int64_t block = 0; block < 12; ++block) {
        ASSERT_EQ(map->WriteBlock(block, kBlockSize, content.data() + block * kBlockSize, nullptr), kBlockSize);
    }
    map->WriteBack();  // nothing was held by done pieces before: they stay
    EXPECT_EQ(map->PiecesVerified(), 0);
    EXPECT_EQ(map->HeldBytes(), 3 * 65536);
    map->WriteBack();  // now they held more than a fifth of the window
    EXPECT_EQ(map->PiecesVerified(), 3);
    EXPECT_EQ(map->HeldBytes(), 0);
    EXPECT_EQ(owner.deliveries.size(), 3u);
}

TEST(PieceWriteTest, AVerifiedPieceWaitsInMemoryAtMostTwoSeconds) {
    // The engine clock's thread starts again on the driven clock.
    TimeStop();
    platform::ScopedDrivenClock clock;
    test::TempDir dir;
    FakeOwner owner;
    owner.folder = dir.Path();
    const std::string content = test::Content(3 * 65536, 24);
    // The default window has room for every piece: only time makes them go out.
    MapHolder map(test::LoadMap(owner, test::TorrentWithInfo(test::SingleFileInfo("h.bin", content, 65536))));
    for (int64_t block = 0; block < 4; ++block) {
        ASSERT_EQ(map->WriteBlock(block, kBlockSize, content.data() + block * kBlockSize, nullptr), kBlockSize);
    }
    map->WriteBack();
    map->WriteBack();
    EXPECT_EQ(map->PiecesVerified(), 0) << "written at once, before it had company";

    const uint32_t target = ClockSeconds() + 2;
    clock->AdvanceMs(2000);
    ASSERT_TRUE(test::WaitUntil([&] { return ClockSeconds() >= target; }));
    map->WriteBack();
    EXPECT_EQ(map->PiecesVerified(), 1);
    EXPECT_EQ(map->HeldBytes(), 0);
    EXPECT_EQ(test::ReadFile(dir.Path() + "/h.bin.vmtmp").substr(0, 65536), content.substr(0, 65536));
    TimeStop();  // before the driven clock goes
}

}  // namespace
}  // namespace veldmoor
