#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/File.h"

#include "tests/support/TestSupport.h"

namespace veldmoor::platform {
namespace {

TEST(PathTest, JoinsAndSplitsPaths) {
    struct Case {
        std::string folder, name, joined;
    };
    const Case joins[] = {
        {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a", "/b", "/a/b"}, {"", "b", "b"}, {"/", "b", "/b"},
    };
    for (const auto& c : joins) EXPECT_EQ(JoinPath(c.folder, c.name), c.joined) << c.folder << " + " << c.name;

    EXPECT_EQ(ParentPath("/a/b"), "/a");
    EXPECT_EQ(ParentPath("/b"), "/");
    EXPECT_EQ(ParentPath("b"), "");
    EXPECT_EQ(FileNameOf("/a/b.exe"), "b.exe");
    EXPECT_EQ(FileNameOf("/a/b/"), "");
    EXPECT_TRUE(EndsWithSeparator("/a/"));
    EXPECT_FALSE(EndsWithSeparator("/a"));
}

TEST(FilesTest, AppendsAndReplacesWholeFiles) {
    test::TempDir dir;
    const std::string path = dir.File("log.txt");
    ASSERT_TRUE(AppendToFile(path, "one\n"));
    ASSERT_TRUE(AppendToFile(path, "two\n"));
    EXPECT_EQ(ReadWholeFile(path), "one\ntwo\n");

    const std::string state = dir.File("state");
    ASSERT_TRUE(ReplaceFileContents(state, std::string("first\0copy", 10)));
    ASSERT_TRUE(ReplaceFileContents(state, "second"));
    EXPECT_EQ(ReadWholeFile(state), "second");
    EXPECT_EQ(FileSize(state), 6u);
}

TEST(FilesTest, ReplacingLeavesNoTemporaryFilesBehind) {
    test::TempDir dir;
    const std::string state = dir.File("state");
    ASSERT_TRUE(ReplaceFileContents(state, "one"));
    ASSERT_TRUE(ReplaceFileContents(state, "two"));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) ++entries;
    EXPECT_EQ(entries, 1u);
    EXPECT_FALSE(ReplaceFileContents(dir.File("missing/state"), "lost"));
}

TEST(FilesTest, AGatheredWriteThroughADuplicateLandsInOrderAfterTheOriginalCloses) {
    test::TempDir dir;
    const std::string path = dir.File("gather.bin");
    File original;
    ASSERT_TRUE(original.Open(path, File::Mode::ReadWrite));
    File copy = original.Duplicate();
    original.Close();
    ASSERT_TRUE(copy.IsWritable());

    // More parts than one system call takes, of uneven sizes, some empty.
    std::string expected;
    std::vector<std::string> storage;
    for (int i = 0; i < 2500; ++i) storage.emplace_back(static_cast<size_t>(i % 7), static_cast<char>('a' + i % 26));
    std::vector<std::string_view> parts(storage.begin(), storage.end());
    for (const std::string& part : storage) expected += part;
    ASSERT_EQ(copy.WriteGatherAt(5, parts), IoStatus::Ok);
    copy.Close();
    EXPECT_TRUE(ReadWholeFile(path) == std::string(5, '\0') + expected);

    File reader;
    ASSERT_TRUE(reader.Open(path, File::Mode::Read));
    EXPECT_EQ(reader.Duplicate().WriteGatherAt(0, parts), IoStatus::Failed) << "a read-only handle stays read-only";
    EXPECT_FALSE(File().Duplicate().IsOpen());
}

}  // namespace
}  // namespace veldmoor::platform
