#pragma once
// Files and paths. Paths are UTF-8 byte strings with "/" as separator.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veldmoor::platform {

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates the folder and its missing parents; true when it exists afterwards.
bool CreateDirectories(const std::string& path);
std::optional<std::string> ReadWholeFile(const std::string& path);

enum class BoundedReadResult { kRead, kUnreadable, kTooLarge };
struct BoundedRead {
    BoundedReadResult result = BoundedReadResult::kUnreadable;
    std::string bytes;  // empty unless kRead
};
// Reads at most `limit` bytes; a longer file (or a device that never ends) is
// kTooLarge and costs no more than `limit` + 1 bytes of memory.
BoundedRead ReadFileUpTo(const std::string& path, size_t limit);
// Appends `text`, creating the file when missing. Opens and closes the file on
// every call so that other processes can read it meanwhile.
bool AppendToFile(const std::string& path, std::string_view text);
// Writes a temporary file beside `path`, flushes it and renames it into place,
// so a crash mid-write never loses the previous copy.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);
bool DeleteFileAt(const std::string& path);
std::optional<uint64_t> FileSize(const std::string& path);

// Joins with exactly one "/" between the parts.
std::string JoinPath(std::string_view folder, std::string_view name);
// The folder part ("" when there is none); "/a/b" -> "/a", "b" -> "".
std::string ParentPath(std::string_view path);
// The last component; "/a/b" -> "b", "/a/b/" -> "".
std::string FileNameOf(std::string_view path);
bool EndsWithSeparator(std::string_view path);

// $TEMP, else $TMPDIR, else /tmp.
std::string TemporaryFolder();

}  // namespace veldmoor::platform
