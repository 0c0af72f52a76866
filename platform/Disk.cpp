#include "platform/Disk.h"

#include "platform/Files.h"

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

namespace veldmoor::platform {
namespace {

// The path itself when it exists, else its closest existing ancestor. A relative
// path with no existing ancestor lives in the working directory.
std::optional<std::string> NearestExistingPath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::string candidate = path;
    for (;;) {
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0) return candidate;
        if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
        std::string parent = ParentPath(candidate);
        if (parent.empty()) parent.push_back('.');
        if (parent == candidate) return std::nullopt;
        candidate = std::move(parent);
    }
}

}  // namespace

uint64_t DiskFreeBytes(const std::string& path) {
    const auto existing = NearestExistingPath(path);
    if (!existing) return 0;
    struct statvfs volume {};
    if (::statvfs(existing->c_str(), &volume) != 0) return 0;
    return static_cast<uint64_t>(volume.f_bavail) * static_cast<uint64_t>(volume.f_frsize);
}

uint64_t AllocatedSizeOnDisk(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    // st_blocks counts 512-byte units whatever the file system's block size.
    return static_cast<uint64_t>(info.st_blocks) * 512u;
}

bool FileSystemSupportsSparse(const std::string& path) {
    const auto existing = NearestExistingPath(path);
    if (!existing) return false;
    struct statfs volume {};
    if (::statfs(existing->c_str(), &volume) != 0) return false;
    // Magic numbers from linux/magic.h; ZFS is not listed there.
    constexpr unsigned long kSparseFileSystems[] = {
        0xEF53,      // ext2, ext3, ext4
        0x58465342,  // xfs
        0x9123683E,  // btrfs
        0x01021994,  // tmpfs
        0xF2F52010,  // f2fs
        0x2FC12FC1,  // zfs
        0x794C7630,  // overlayfs (passes holes through to its upper layer)
    };
    const auto type = static_cast<unsigned long>(volume.f_type);
    for (const unsigned long sparse : kSparseFileSystems) {
        if (type == sparse) return true;
    }
    return false;
}

}  // namespace veldmoor::platform
