// Torrents that are broken or that would cost far more than their size: each
// is refused as a bad torrent (20211), and no check holds a whole long piece.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/AllocationProbe.h"
#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {

using test::Dict;
using test::FakeOwner;
using test::Integer;
using test::List;
using test::MapHolder;
using test::Text;

constexpr int32_t kBadTorrent = 20211;

// A file of `length` bytes that starts with `head` and is a hole after it.
void WriteSparseFile(const std::string& path, const std::string& head, int64_t length) {
    test::WriteFile(path, head);
    ASSERT_EQ(::truncate(path.c_str(), length), 0);
}

std::string SingleFile(int64_t length, int64_t pieceLength, const std::string& pieces) {
    return Dict({{"length", Integer(length)},
                 {"name", Text("a")},
                 {"piece length", Integer(pieceLength)},
                 {"pieces", Text(pieces)}});
}

class TorrentBoundsTest : public ::testing::Test {
protected:
    void SetUp() override { owner.folder = dir.Path(); }

    bool LoadTorrent(const std::string& torrent) {
        bool loaded = false;
        holder = std::make_unique<MapHolder>(test::LoadMap(owner, torrent, {}, &loaded));
        return loaded;
    }

    test::TempDir dir;
    FakeOwner owner;
    std::unique_ptr<MapHolder> holder;
};

TEST_F(TorrentBoundsTest, BrokenOrOversizedMetainfoIsABadTorrent) {
    const std::string content = test::Content(40000, 3);
    const std::string hashes = test::PieceHashes(content, 16384);
    std::vector<std::string> manyFiles;
    for (int64_t i = 0; i <= kMaxFileCount; ++i)
        manyFiles.push_back(Dict({{"length", Integer(1)}, {"path", List({Text("f" + std::to_string(i))})}}));
    const int64_t manyFilesLength = kMaxFileCount + 1;
    struct Case {
        const char* what;
        std::string torrent;
    };
    const std::vector<Case> cases = {
        {"cut short", test::TorrentWithInfo(SingleFile(40000, 16384, hashes)).substr(0, 60)},
        {"info not a dictionary", Dict({{"announce", Text("http://t/")}, {"info", Text("x")}})},
        {"no info", Dict({{"announce", Text("http://t/")}})},
        {"piece length 0", test::TorrentWithInfo(SingleFile(40000, 0, hashes))},
        {"piece length negative", test::TorrentWithInfo(SingleFile(40000, -16384, hashes))},
        {"pieces not whole hashes", test::TorrentWithInfo(SingleFile(40000, 16384, hashes + "x"))},
        {"length beyond any file", test::TorrentWithInfo(SingleFile(int64_t{1} << 62, 16384, hashes))},
        // A few hundred bytes asking for a 2 GiB piece.
        {"piece length near 2^31", test::TorrentWithInfo(SingleFile(2147483000, 2147483000, std::string(20, 'h')))},
        {"piece length over the cap",
         test::TorrentWithInfo(SingleFile(kMaxPieceLength + 1, kMaxPieceLength + 1, std::string(20, 'h')))},
        {"too many pieces", test::TorrentWithInfo(SingleFile((kMaxPieceCount + 1) * 16384, 16384,
                                                             std::string(static_cast<size_t>(kMaxPieceCount + 1) * 20, 'h')))},
        {"too many files", test::TorrentWithInfo(Dict({{"files", List(manyFiles)},
                                                       {"name", Text("many")},
                                                       {"piece length", Integer(16384)},
                                                       {"pieces", Text(test::PieceHashes(std::string(
                                                                           static_cast<size_t>(manyFilesLength), 'x'),
                                                                       16384))}}))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        owner.statusCode = 0;
        owner.stopRequested = false;
        EXPECT_FALSE(LoadTorrent(c.torrent));
        EXPECT_EQ(owner.statusCode, kBadTorrent);
        EXPECT_TRUE(owner.stopRequested);
        EXPECT_FALSE((*holder)->IsReady());
    }
}

TEST_F(TorrentBoundsTest, TheLargestAllowedTorrentStillLoads) {
    // The bounds leave room for what real torrents carry.
    owner.target = dir.File("big.bin");
    EXPECT_TRUE(LoadTorrent(test::TorrentWithInfo(
        SingleFile(kMaxPieceCount * 16384, 16384, std::string(static_cast<size_t>(kMaxPieceCount) * 20, 'h')))));
    EXPECT_EQ((*holder)->PieceCount(), kMaxPieceCount);
    EXPECT_EQ(owner.statusCode, 0);
}

TEST_F(TorrentBoundsTest, ATorrentFileIsReadOnlyUpToItsBound) {
    const std::string huge = dir.File("huge.torrent");
    WriteSparseFile(huge, "d8:announce", static_cast<int64_t>(kMaxTorrentFileBytes) + 1);
    for (const std::string& path : {huge, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        owner.statusCode = 0;
        MapHolder map(new TPieces(&owner));
        test::AllocationProbe probe;
        EXPECT_FALSE(map->Torrent()->ParseFile("file://" + path));
        EXPECT_LE(probe.Largest(), kMaxTorrentFileBytes + 1);
        EXPECT_EQ(owner.statusCode, kBadTorrent);
    }
}

TEST_F(TorrentBoundsTest, CheckingLongPiecesHoldsOnlyASlice) {
    // Two pieces of the longest length, in a sparse file: the start-up check
    // reads them but must not hold either whole.
    const int64_t length = kMaxPieceLength + 16384;
    owner.target = dir.File("long.bin");
    WriteSparseFile(owner.target, "x", length);
    test::AllocationProbe probe;
    ASSERT_TRUE(LoadTorrent(test::TorrentWithInfo(SingleFile(length, kMaxPieceLength, std::string(40, 'h')))));
    EXPECT_LE(probe.Largest(), size_t{8} << 20);
    EXPECT_EQ((*holder)->PiecesVerified(), 0);
}

TEST_F(TorrentBoundsTest, AMapKnownOnlyBySizeStaysSmallForHugeFiles) {
    constexpr int64_t kTiB = int64_t{1} << 40;
    EXPECT_EQ(SourceOnlyPieceLength(2147483648), 524288) << "ordinary downloads keep 512 KiB pieces";
    EXPECT_EQ(SourceOnlyPieceLength(4 * kTiB), kMaxPieceLength);
    EXPECT_EQ(SourceOnlyPieceLength(4 * kTiB + 1), 0) << "beyond every bound";

    // What a server's Content-Length of 3 TiB costs before a byte arrives.
    owner.target = dir.File("huge.bin");
    MapHolder map(new TPieces(&owner));
    test::AllocationProbe probe;
    const int64_t size = 3 * kTiB + 12345;
    ASSERT_TRUE(map->BuildWithoutHashes(size, SourceOnlyPieceLength(size)));
    EXPECT_LE(map->PieceCount(), kMaxSourceOnlyPieceCount);
    EXPECT_EQ(map->TotalLength(), size);
    EXPECT_LE(probe.Largest(), size_t{16} << 20);
}

}  // namespace
}  // namespace veldmoor
