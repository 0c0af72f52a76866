#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Disk.h"
#include "platform/File.h"
#include "platform/FileRename.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/PieceFile.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

using test::FakeOwner;
using test::MapHolder;

TEST(PieceFileTest, PieceSpanCountsEveryTouchedPiece) {
    struct Case {
        int64_t offset, length, pieceLength;
        int32_t span;
    };
    const Case cases[] = {
        {0, 0, 100, 0},     {0, 1, 100, 1},
        {0, 100, 100, 1},   {0, 101, 100, 2},
        {50, 50, 100, 1},   {50, 51, 100, 2},
        {50, 10, 100, 1},   {99, 2, 100, 2},
        {250, 300, 100, 4}, {int64_t{3} << 30, int64_t{1} << 30, 524288, 2048},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PieceSpan(c.offset, c.length, c.pieceLength), c.span) << c.offset << "+" << c.length;
    }
}

TEST(PieceFileTest, FileAtOffsetSkipsEmptyFiles) {
    std::vector<TPieceFile> files(4);
    files[0].length = 10;
    files[1].offset = 10;  // empty
    files[2].offset = 10;
    files[2].length = 5;
    files[3].offset = 15;
    files[3].length = 1;
    EXPECT_EQ(FileAtOffset(files, 0), 0);
    EXPECT_EQ(FileAtOffset(files, 9), 0);
    EXPECT_EQ(FileAtOffset(files, 10), 2);
    EXPECT_EQ(FileAtOffset(files, 15), 3);
    EXPECT_EQ(FileAtOffset(files, 16), -1);
}

TEST(PieceFileTest, RenameNeverReplacesAnExistingFile) {
    test::TempDir dir;
    test::WriteFile(dir.File("from"), "new");
    test::WriteFile(dir.File("to"), "old");
    EXPECT_FALSE(platform::RenameNoReplace(dir.File("from"), dir.File("to")));
    EXPECT_EQ(test::ReadFile(dir.File("to")), "old");
    EXPECT_EQ(test::ReadFile(dir.File("from")), "new");
    EXPECT_TRUE(platform::RenameNoReplace(dir.File("from"), dir.File("fresh")));
    EXPECT_EQ(test::ReadFile(dir.File("fresh")), "new");
    EXPECT_FALSE(platform::FileExists(dir.File("from")));
}

TEST(PieceFileTest, FilesGrowWithoutWritingZeros) {
    test::TempDir dir;
    platform::File file;
    ASSERT_TRUE(file.Open(dir.File("deep/er/file"), platform::File::Mode::ReadWrite));
    ASSERT_EQ(file.SetSize(64 * 1048576), platform::IoStatus::Ok);
    EXPECT_EQ(file.Size(), 64 * 1048576);
    EXPECT_LT(platform::AllocatedSizeOnDisk(dir.File("deep/er/file")), 1048576u);
    ASSERT_EQ(file.WriteAt(1000, "abc", 3), platform::IoStatus::Ok);
    char buffer[8] = {};
    EXPECT_EQ(file.ReadAt(999, buffer, 5), 5);
    EXPECT_EQ(std::string(buffer, 5), std::string("\0abc\0", 5));
    EXPECT_EQ(file.ReadAt(64 * 1048576 - 2, buffer, 8), 2);
    ASSERT_TRUE(file.LastWriteTime().has_value());
    EXPECT_GT(*file.LastWriteTime(), 116444736000000000ULL);  // after 1970 in 100-ns units since 1601

    platform::File reader;
    EXPECT_FALSE(reader.Open(dir.File("missing"), platform::File::Mode::Read));
    EXPECT_FALSE(platform::FileExists(dir.File("missing")));
    ASSERT_TRUE(reader.Open(dir.File("deep/er/file"), platform::File::Mode::Read));
    EXPECT_EQ(reader.WriteAt(0, "x", 1), platform::IoStatus::Failed);
}

class InfoTextTest : public ::testing::Test {
protected:
    void SetUp() override { owner.folder = dir.Path(); }
    test::TempDir dir;
    FakeOwner owner;
    const std::string hex = "00112233445566778899aabbccddeeff01234567";
};

TEST_F(InfoTextTest, AnInfoTextBuildsAMapWithoutPieceHashes) {
    // 3 GiB: beyond what a 32-bit "$Size$" could carry.
    const std::string text =
        "$Hash$" + hex + "$Size$3221225472$Length$524288$Tracker$http$$$tracker.test/announce$$$x$End$";
    MapHolder map(new TPieces(&owner));
    map->Torrent()->SetSourceText(text);
    ASSERT_TRUE(map->Torrent()->Load());
    EXPECT_EQ(owner.runStates, (std::vector<int32_t>{3, 4}));
    EXPECT_EQ(map->Torrent()->HexHash(), hex);
    EXPECT_EQ(map->Torrent()->EscapedHash().substr(0, 9), "%00%11%22");
    ASSERT_EQ(map->Torrent()->Trackers().size(), 1u);
    EXPECT_EQ(map->Torrent()->Trackers()[0], "http://tracker.test/announce$$$x");
    EXPECT_EQ(map->TotalLength(), 3221225472LL);
    EXPECT_EQ(map->PieceCount(), 6144);
    EXPECT_EQ(map->WriteWindow(), 128);
    ASSERT_EQ(map->FileCount(), 1);
    EXPECT_EQ(map->FileEntry(0).TargetPath(), dir.Path() + "/" + hex);
    EXPECT_FALSE(map->HashCheck());

    // Without hashes a complete piece counts as soon as it is on disk.
    owner.readyMap = true;
    EXPECT_TRUE(map->IsReady());
    const std::string data(kBlockSize, 'q');
    for (int64_t block = 0; block < 32; ++block) {
        ASSERT_EQ(map->WriteBlock(block, kBlockSize, data.data(), nullptr), kBlockSize);
    }
    ASSERT_TRUE(map->Flush(true, false));
    EXPECT_TRUE(map->IsPieceDone(0));
    EXPECT_TRUE(owner.checks.empty());
}

TEST_F(InfoTextTest, TheJobsTargetTakesTheContent) {
    owner.target = dir.File("setup.exe");
    MapHolder map(new TPieces(&owner));
    ASSERT_TRUE(map->ReadInfoText("$Hash$" + hex + "$Size$100$Length$64$Tracker$$End$"));
    EXPECT_EQ(map->FileEntry(0).TargetPath(), owner.target);
    EXPECT_EQ(map->PieceCount(), 2);
    EXPECT_TRUE(map->Torrent()->Trackers().empty());
}

TEST_F(InfoTextTest, MalformedInfoTextsAreRefused) {
    const std::vector<std::string> texts = {
        "$Hash$" + hex + "$Size$100$Length$64$Tracker$x",                     // no end marker
        "$Hash$" + hex.substr(0, 30) + "$Size$100$Length$64$Tracker$x$End$",  // short hash
        "$Hash$" + hex + "$Size$0$Length$64$Tracker$x$End$",
        "$Hash$" + hex + "$Size$100$Length$-5$Tracker$x$End$",
        "$Hash$" + hex + "$Size$abc$Length$64$Tracker$x$End$",
        // More pieces than a map holds in memory, and a size at the top of the range.
        "$Hash$" + hex + "$Size$" + std::to_string(kMaxPieceCount + 1) + "$Length$1$Tracker$x$End$",
        "$Hash$" + hex + "$Size$9223372036854775807$Length$2147483647$Tracker$x$End$",
    };
    for (const std::string& text : texts) {
        MapHolder map(new TPieces(&owner));
        EXPECT_FALSE(map->ReadInfoText(text)) << text;
        EXPECT_FALSE(map->IsReady());
    }
}

TEST_F(InfoTextTest, ADownloadKnownOnlyByItsSizeNeedsATarget) {
    MapHolder map(new TPieces(&owner));
    EXPECT_FALSE(map->BuildWithoutHashes(100000, 32768));
    owner.target = dir.File("http.bin");
    ASSERT_TRUE(map->BuildWithoutHashes(100000, 32768));
    EXPECT_EQ(map->PieceCount(), 4);
    EXPECT_EQ(map->FileEntry(0).workingPath, dir.File("http.bin.vmtmp"));
}

TEST_F(InfoTextTest, ASizeThatWouldNeedTooManyPiecesIsRefused) {
    // A mirror's Content-Length decides the size: it must not make the map allocate without bound.
    owner.target = dir.File("http.bin");
    constexpr int32_t kPiece = 524288;
    for (const int64_t size : {kMaxPieceCount * kPiece + 1, int64_t{INT64_MAX}}) {
        MapHolder map(new TPieces(&owner));
        EXPECT_FALSE(map->BuildWithoutHashes(size, kPiece)) << size;
        EXPECT_FALSE(map->IsReady());
    }
}

}  // namespace
}  // namespace veldmoor

namespace veldmoor {
namespace {

// Without piece hashes the saved status is all a restart has: a working file
// that only grew since the save keeps what the save recorded.
TEST_F(InfoTextTest, ADownloadKnownOnlyByItsSizeResumesFromItsSavedStatusUnlessTheFileShrank) {
    constexpr int32_t kPieceLength = 32768;
    owner.target = dir.File("http.bin");
    const std::string content = test::Content(4 * kPieceLength, 5);
    {
        MapHolder first(new TPieces(&owner));
        first->SetSaveStatus(true);
        ASSERT_TRUE(first->BuildWithoutHashes(static_cast<int64_t>(content.size()), kPieceLength));
        for (int64_t block = 0; block < 2 * kPieceLength / kBlockSize; ++block)
            ASSERT_GT(first->WriteBlock(block, static_cast<int32_t>(kBlockSize), content.data() + block * kBlockSize, nullptr), 0);
        ASSERT_TRUE(first->Flush(true, true));
        ASSERT_EQ(first->PiecesVerified(), 2);
    }
    const std::string saved = owner.bitsText;
    ASSERT_FALSE(saved.empty());
    const std::string working = dir.File("http.bin.vmtmp");
    const std::string written = test::ReadFile(working);

    struct Case {
        const char* name;
        std::string file;
        int32_t verified;
    };
    const Case cases[] = {
        {"grew after the save (a crash before the next one)", written + std::string(kPieceLength, 'x'), 2},
        {"as saved", written, 2},
        {"shrank", written.substr(0, written.size() - 1), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(working, c.file);
        MapHolder again(new TPieces(&owner));
        again->SetPieceStatusText(saved);
        ASSERT_TRUE(again->BuildWithoutHashes(static_cast<int64_t>(content.size()), kPieceLength));
        EXPECT_EQ(again->PiecesVerified(), c.verified);
    }
}

}  // namespace
}  // namespace veldmoor
