#pragma once
// The version stamped into a Windows executable or driver, read without any
// Windows API so that the file can be inspected on every platform.
#include <cstdint>
#include <string_view>

namespace veldmoor {

struct FileVersion {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t build = 0;
    int32_t revision = 0;

    friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

// The file version from the first fixed-file-information block in the file's
// bytes (found by its signature at a 4-byte boundary); all zero when there is
// no complete block.
FileVersion FixedFileVersionOf(std::string_view fileBytes);

}  // namespace veldmoor
