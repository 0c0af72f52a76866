#pragma once
// An open file addressed by offset: reads and writes at a position, size and
// end-of-file changes, and the last-write time in the form it is saved in.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veldmoor::platform {

enum class IoStatus {
    Ok,
    DiskFull,  // no room on the volume (or the user's quota is used up)
    Failed,
};

// The last-write time as the 64-bit count of 100-ns intervals since 1601-01-01
// UTC; empty when the file does not exist.
std::optional<uint64_t> LastWriteTimeOf(const std::string& path);

class File {
public:
    enum class Mode {
        Read,       // an existing file, read only
        ReadWrite,  // created when missing, with the folders on its way
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Closes what was open first. False when the file cannot be opened.
    bool Open(const std::string& path, Mode mode);
    void Close();
    bool IsOpen() const { return descriptor_ >= 0; }
    bool IsWritable() const { return IsOpen() && writable_; }

    // Bytes read; fewer than `length` only at the end of the file. -1 on failure.
    int64_t ReadAt(int64_t offset, void* buffer, int64_t length);
    // Writes all `length` bytes or reports why not.
    IoStatus WriteAt(int64_t offset, const void* bytes, int64_t length);
    // Writes `parts` one after another from `offset`, in as few calls as the
    // system allows (no copy into one buffer first).
    IoStatus WriteGatherAt(int64_t offset, std::span<const std::string_view> parts);
    // A second handle on the same open file, independent of this one's closing
    // (for another thread); closed when the file is not open or it cannot be made.
    File Duplicate() const;
    std::optional<int64_t> Size() const;
    // Moves the end of the file; a longer file gets an unwritten (sparse) tail.
    IoStatus SetSize(int64_t size);
    std::optional<uint64_t> LastWriteTime() const;

private:
    int descriptor_ = -1;
    bool writable_ = false;
};

}  // namespace veldmoor::platform
