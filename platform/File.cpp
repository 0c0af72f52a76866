#include "platform/File.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/Files.h"

namespace veldmoor::platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDifferenceSeconds = 11'644'473'600ULL;

uint64_t ToFileTime(const struct timespec& time) {
    const uint64_t seconds = static_cast<uint64_t>(time.tv_sec) + kEpochDifferenceSeconds;
    return seconds * 10'000'000ULL + static_cast<uint64_t>(time.tv_nsec) / 100ULL;
}

IoStatus StatusForError(int error) {
    return (error == ENOSPC || error == EDQUOT) ? IoStatus::DiskFull : IoStatus::Failed;
}

}  // namespace

std::optional<uint64_t> LastWriteTimeOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return ToFileTime(info.st_mtim);
}

File::~File() { Close(); }

File::File(File&& other) noexcept : descriptor_(other.descriptor_), writable_(other.writable_) {
    other.descriptor_ = -1;
    other.writable_ = false;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        descriptor_ = other.descriptor_;
        writable_ = other.writable_;
        other.descriptor_ = -1;
        other.writable_ = false;
    }
    return *this;
}

bool File::Open(const std::string& path, Mode mode) {
    Close();
    if (path.empty()) return false;
    int flags = O_CLOEXEC;
    if (mode == Mode::ReadWrite) {
        flags |= O_RDWR | O_CREAT;
        const std::string folder = ParentPath(path);
        if (!folder.empty() && !DirectoryExists(folder) && !CreateDirectories(folder)) return false;
    } else {
        flags |= O_RDONLY;
    }
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), flags, 0644);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return false;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        return false;
    }
    descriptor_ = descriptor;
    writable_ = mode == Mode::ReadWrite;
    return true;
}

void File::Close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    writable_ = false;
}

int64_t File::ReadAt(int64_t offset, void* buffer, int64_t length) {
    if (!IsOpen() || offset < 0 || length < 0 || (length > 0 && !buffer)) return -1;
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(descriptor_, out + done, static_cast<size_t>(length - done), static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;  // end of file
        done += got;
    }
    return done;
}

IoStatus File::WriteAt(int64_t offset, const void* bytes, int64_t length) {
    if (!IsWritable() || offset < 0 || length < 0 || (length > 0 && !bytes)) return IoStatus::Failed;
    const auto* in = static_cast<const char*>(bytes);
    int64_t done = 0;
    while (done < length) {
        const ssize_t put =
            ::pwrite(descriptor_, in + done, static_cast<size_t>(length - done), static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return StatusForError(errno);
        }
        if (put == 0) return IoStatus::Failed;
        done += put;
    }
    return IoStatus::Ok;
}

IoStatus File::WriteGatherAt(int64_t offset, std::span<const std::string_view> parts) {
    if (!IsWritable() || offset < 0) return IoStatus::Failed;
    std::vector<struct iovec> vectors;
    vectors.reserve(parts.size());
    for (const std::string_view part : parts) {
        if (!part.empty()) vectors.push_back({const_cast<char*>(part.data()), part.size()});
    }
    size_t first = 0;
    int64_t position = offset;
    while (first < vectors.size()) {
        const int count = static_cast<int>(std::min<size_t>(vectors.size() - first, IOV_MAX));
        const ssize_t put = ::pwritev(descriptor_, vectors.data() + first, count, static_cast<off_t>(position));
        if (put < 0) {
            if (errno == EINTR) continue;
            return StatusForError(errno);
        }
        if (put == 0) return IoStatus::Failed;
        position += put;
        // A short write leaves the rest of the vectors, the first perhaps in part.
        auto left = static_cast<size_t>(put);
        while (first < vectors.size() && left >= vectors[first].iov_len) left -= vectors[first++].iov_len;
        if (left > 0) {
            vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
            vectors[first].iov_len -= left;
        }
    }
    return IoStatus::Ok;
}

File File::Duplicate() const {
    File copy;
    if (!IsOpen()) return copy;
    const int descriptor = ::fcntl(descriptor_, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0) return copy;
    copy.descriptor_ = descriptor;
    copy.writable_ = writable_;
    return copy;
}

std::optional<int64_t> File::Size() const {
    struct stat info {};
    if (!IsOpen() || ::fstat(descriptor_, &info) != 0) return std::nullopt;
    return static_cast<int64_t>(info.st_size);
}

IoStatus File::SetSize(int64_t size) {
    if (!IsWritable() || size < 0) return IoStatus::Failed;
    int result;
    do {
        result = ::ftruncate(descriptor_, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? IoStatus::Ok : StatusForError(errno);
}

std::optional<uint64_t> File::LastWriteTime() const {
    struct stat info {};
    if (!IsOpen() || ::fstat(descriptor_, &info) != 0) return std::nullopt;
    return ToFileTime(info.st_mtim);
}

}  // namespace veldmoor::platform
