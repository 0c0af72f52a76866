#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

using test::Dict;
using test::FakeOwner;
using test::Integer;
using test::List;
using test::MapHolder;
using test::Text;

class TPiecesBuildTest : public ::testing::Test {
protected:
    void SetUp() override { owner.folder = dir.Path() + "/downloads"; }

    TPieces* Load(const std::string& info, bool expectLoaded = true) {
        bool loaded = false;
        holder = std::make_unique<MapHolder>(test::LoadMap(owner, test::TorrentWithInfo(info), {}, &loaded));
        EXPECT_EQ(loaded, expectLoaded);
        return holder->get();
    }

    test::TempDir dir;
    FakeOwner owner;
    std::unique_ptr<MapHolder> holder;
};

TEST_F(TPiecesBuildTest, SingleFilePlacement) {
    const std::string content = test::Content(50000, 2);
    TPieces* map = Load(test::SingleFileInfo("", content, 16384));
    ASSERT_EQ(map->FileCount(), 1);
    EXPECT_EQ(map->Name(), "strRecommend");
    EXPECT_EQ(map->FileEntry(0).TargetPath(), owner.folder + "/strRecommend");
    EXPECT_EQ(map->FileEntry(0).workingPath, owner.folder + "/strRecommend.vmtmp");
    EXPECT_TRUE(platform::FileExists(owner.folder + "/strRecommend.vmtmp"));

    owner.target = dir.File("chosen/setup.exe");
    map = Load(test::SingleFileInfo("setup.exe", content, 16384));
    EXPECT_EQ(map->FileEntry(0).TargetPath(), owner.target);
    EXPECT_EQ(map->PieceCount(), 4);
    EXPECT_EQ(map->PieceLengthOf(3), 50000 - 3 * 16384);
}

TEST_F(TPiecesBuildTest, AnExistingFinalFileIsWrittenInPlace) {
    const std::string content = test::Content(30000, 3);
    platform::CreateDirectories(owner.folder);
    test::WriteFile(owner.folder + "/present.bin", "partial");
    TPieces* map = Load(test::MultiFileInfo(
        "", {{{"present.bin"}, content.substr(0, 10000)}, {{"absent.bin"}, content.substr(10000)}}, 16384));
    ASSERT_EQ(map->FileCount(), 2);
    EXPECT_FALSE(map->FileEntry(0).usesWorkingName);
    EXPECT_EQ(map->FileEntry(0).workingPath, owner.folder + "/present.bin");
    EXPECT_TRUE(map->FileEntry(1).usesWorkingName);
    EXPECT_EQ(map->FileEntry(1).workingPath, owner.folder + "/absent.bin.vmtmp");
    EXPECT_EQ(map->FileEntry(1).finalPath, owner.folder + "/absent.bin");
}

TEST_F(TPiecesBuildTest, MultiFileNameIsNotNestedTwice) {
    const std::string content = test::Content(20000, 4);
    struct Case {
        std::string folder;
        std::string expectedFile;
    };
    const std::vector<Case> cases = {
        {dir.Path() + "/Game", dir.Path() + "/Game/a.bin.vmtmp"},
        {dir.Path() + "/Game/", dir.Path() + "/Game/a.bin.vmtmp"},
        // Another letter case is another folder on Linux: the download goes inside it.
        {dir.Path() + "/GAME/", dir.Path() + "/GAME/Game/a.bin.vmtmp"},
        // Only the whole last folder counts as the name, not a longer name ending in it.
        {dir.Path() + "/MyGame", dir.Path() + "/MyGame/Game/a.bin.vmtmp"},
        {dir.Path() + "/other", dir.Path() + "/other/Game/a.bin.vmtmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        owner.folder = c.folder;
        TPieces* map = Load(test::MultiFileInfo("Game", {{{"a.bin"}, content}}, 16384));
        ASSERT_EQ(map->FileCount(), 1);
        EXPECT_EQ(map->FileEntry(0).relativeName, "Game/a.bin");
        EXPECT_EQ(map->FileEntry(0).workingPath, c.expectedFile);
    }
}

TEST_F(TPiecesBuildTest, FolderEntriesMakeFoldersAndNoFiles) {
    const std::string content = test::Content(20000, 5);
    TPieces* map = Load(test::MultiFileInfo("pack", {{{"empty", ""}, ""}, {{"data.bin"}, content}}, 16384));
    ASSERT_EQ(map->FileCount(), 1);
    EXPECT_TRUE(platform::DirectoryExists(owner.folder + "/pack/empty"));
    EXPECT_EQ(map->FileEntry(0).relativeName, "pack/data.bin");

    // A folder entry with a length stops the list; the rest no longer fits the pieces.
    Load(test::MultiFileInfo("pack", {{{"data.bin"}, content}, {{"bad", ""}, content}}, 16384), false);
}

TEST_F(TPiecesBuildTest, TorrentPathsNeverLeaveTheDownloadFolder) {
    const std::string content = test::Content(1000, 6);
    struct Case {
        std::string name;
        std::vector<std::string> path;
        std::string relative;
    };
    const std::vector<Case> cases = {
        {"top", {"..", "..", "etc", "passwd"}, "top/etc/passwd"},
        {"top", {"/etc/passwd"}, "top/_etc_passwd"},
        {"top", {"a", "", ".", "b"}, "top/a/b"},
        {"top", {"sub\\..\\..\\x"}, "top/sub_.._.._x"},
        {"..", {"x"}, "x"},
        {"/abs", {"y"}, "_abs/y"},
        {"top", {"q?\r\n"}, "top/q___"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.relative);
        TPieces* map = Load(test::MultiFileInfo(c.name, {{c.path, content}}, 16384));
        ASSERT_EQ(map->FileCount(), 1);
        const TPieceFile& entry = map->FileEntry(0);
        EXPECT_EQ(entry.relativeName, c.relative);
        EXPECT_EQ(entry.TargetPath(), owner.folder + "/" + c.relative);
        EXPECT_TRUE(platform::FileExists(entry.workingPath));
    }
    // Nothing was created beside the download folder.
    EXPECT_FALSE(platform::FileExists(dir.Path() + "/etc/passwd"));
    EXPECT_FALSE(platform::DirectoryExists(dir.Path() + "/etc"));
}

TEST_F(TPiecesBuildTest, SingleFileNameCannotLeaveTheFolder) {
    const std::string content = test::Content(1000, 7);
    for (const std::string name : {"../../evil", "/etc/evil", "..", "."}) {
        SCOPED_TRACE(name);
        TPieces* map = Load(test::SingleFileInfo(name, content, 16384));
        const std::string& path = map->FileEntry(0).TargetPath();
        EXPECT_EQ(platform::ParentPath(path), owner.folder);
        const std::string fileName = platform::FileNameOf(path);
        EXPECT_TRUE(fileName != "." && fileName != ".." && !fileName.empty()) << fileName;
    }
}

TEST_F(TPiecesBuildTest, MalformedMetainfoIsRefused) {
    const std::string content = test::Content(40000, 8);
    const std::string hashes = test::PieceHashes(content, 16384);
    struct Case {
        const char* what;
        std::string info;
    };
    const std::vector<Case> cases = {
        {"piece length 0", Dict({{"length", Integer(40000)},
                                 {"name", Text("a")},
                                 {"piece length", Integer(0)},
                                 {"pieces", Text(hashes)}})},
        {"pieces not whole hashes", Dict({{"length", Integer(40000)},
                                          {"name", Text("a")},
                                          {"piece length", Integer(16384)},
                                          {"pieces", Text(hashes + "x")}})},
        {"too few pieces", Dict({{"length", Integer(40000)},
                                 {"name", Text("a")},
                                 {"piece length", Integer(16384)},
                                 {"pieces", Text(hashes.substr(0, 40))}})},
        {"too many pieces", Dict({{"length", Integer(40000)},
                                  {"name", Text("a")},
                                  {"piece length", Integer(16384)},
                                  {"pieces", Text(hashes + hashes.substr(0, 20))}})},
        {"length 0", Dict({{"length", Integer(0)},
                           {"name", Text("a")},
                           {"piece length", Integer(16384)},
                           {"pieces", Text(hashes)}})},
        {"empty file list",
         Dict({{"files", List({})}, {"name", Text("a")}, {"piece length", Integer(16384)}, {"pieces", Text(hashes)}})},
        {"two entries for one file",
         test::MultiFileInfo("a", {{{"x"}, content.substr(0, 20000)}, {{"..", "x"}, content.substr(20000)}}, 16384)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TPieces* map = Load(c.info, false);
        EXPECT_FALSE(map->IsReady());
        EXPECT_EQ(map->FileCount(), 0);
    }
}

TEST_F(TPiecesBuildTest, LargeContentKeepsSixtyFourBitOffsets) {
    // 3 GiB over three files, with no data written: only the arithmetic is exercised.
    constexpr int64_t kGiB = int64_t{1} << 30;
    constexpr int64_t kPiece = 524288;
    const int64_t lengths[] = {kGiB + 12345, kGiB - 12345 + 7, kGiB - 7};
    const int64_t total = 3 * kGiB;
    const std::string hashes((total / kPiece) * 20, 'h');
    std::vector<std::string> entries;
    for (int i = 0; i < 3; ++i) {
        entries.push_back(Dict({{"length", Integer(lengths[i])}, {"path", List({Text("part" + std::to_string(i))})}}));
    }
    TPieces* map = Load(Dict({{"files", List(entries)},
                              {"name", Text("big")},
                              {"piece length", Integer(kPiece)},
                              {"pieces", Text(hashes)}}));
    ASSERT_TRUE(map->IsReady());
    EXPECT_EQ(map->TotalLength(), total);
    EXPECT_EQ(map->PieceCount(), 6144);
    EXPECT_EQ(map->FileEntry(1).offset, lengths[0]);
    EXPECT_EQ(map->FileEntry(2).offset, lengths[0] + lengths[1]);
    EXPECT_EQ(map->FileEntry(2).firstPiece, (lengths[0] + lengths[1]) / kPiece);
    EXPECT_EQ(map->FileEntry(0).pieceSpan, 2049);
    EXPECT_EQ(map->FileEntry(2).pieceSpan, 2048);

    // A block far beyond 2 GiB lands in the right piece.
    const int64_t block = (kGiB * 5 / 2) / kBlockSize + 3;
    const std::string data(kBlockSize, 'z');
    EXPECT_EQ(map->WriteBlock(block, kBlockSize, data.data(), nullptr), kBlockSize);
    EXPECT_TRUE(map->HasBlock(block));
    const int64_t piece = block * kBlockSize / kPiece;
    EXPECT_EQ(map->FirstMissingByte(piece), 0);
    EXPECT_EQ(map->WriteBlock(total / kBlockSize, 1, data.data(), nullptr), -1);
}

TEST_F(TPiecesBuildTest, BlockNumbersMapToPieceAndOffset) {
    const std::string content = test::Content(3 * 524288, 9);
    TPieces* map = Load(test::SingleFileInfo("f", content, 524288));
    const std::string block = content.substr(33 * kBlockSize, kBlockSize);
    ASSERT_EQ(map->WriteBlock(33, kBlockSize, block.data(), nullptr), kBlockSize);
    EXPECT_TRUE(map->HasBlock(33));
    EXPECT_FALSE(map->HasBlock(32));
    EXPECT_FALSE(map->HasBlock(34));
    EXPECT_EQ(map->FirstMissingByte(1), 0);
    const std::string first = content.substr(32 * kBlockSize, kBlockSize);
    ASSERT_EQ(map->WriteBlock(32, kBlockSize, first.data(), nullptr), kBlockSize);
    EXPECT_EQ(map->FirstMissingByte(1), 2 * kBlockSize);  // piece 1 now holds offsets 0 and 16384
    EXPECT_EQ(map->FirstMissingByte(0), 0);
}

TEST_F(TPiecesBuildTest, EventsAnnounceThePieceCountAndPublish) {
    const std::string content = test::Content(50000, 10);
    Load(test::SingleFileInfo("f", content, 16384));
    ASSERT_GE(owner.events.size(), 2u);
    EXPECT_EQ(owner.events[0].type, kPieceCountEvent);
    EXPECT_EQ(owner.events[0].subType, 4);
    EXPECT_EQ(owner.events[0].data, 4);
    EXPECT_EQ(owner.events[1].type, kPublishEvent);
}

}  // namespace
}  // namespace veldmoor
