#pragma once
#include <cstdint>
#include <string>

namespace veldmoor::test {

// Deterministic bytes for test content.
std::string PatternBytes(size_t length, uint32_t seed = 1);

// A bencoded single-file torrent over `content`, with real piece hashes.
std::string SingleFileTorrent(const std::string& name, const std::string& content, int64_t pieceLength,
                              const std::string& announce = "");

}  // namespace veldmoor::test
