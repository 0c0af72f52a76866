#pragma once
// The demo installer: a shell script that says it ran and exits 0, followed
// by filler bytes up to the size a real installer would have. The bytes are
// a pure function of (size, version), so every build makes the same file.
#include <cstdint>
#include <string>

#include "tools/profile-builder/InstallerDigest.h"

namespace veldmoor::profilebuilder {

// The script at the start of the file.
std::string DemoInstallerHeader(const std::string& version);

// Writes the installer of exactly `size` bytes (at least the header's length)
// and returns its digests, computed while writing so the file is read once.
bool WriteDemoInstaller(const std::string& path, uint64_t size, const std::string& version, uint32_t pieceLength,
                        InstallerDigests& digests, std::string& error);

}  // namespace veldmoor::profilebuilder
