#include "platform/FileRename.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace veldmoor::platform {

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: a hard link fails on an existing target
    // just the same, and the old name is dropped once the new one stands.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace veldmoor::platform
