#pragma once
// What a torrent may demand of us. A few hundred bytes of metainfo must not
// cost gigabytes of memory or state file: beyond these the torrent is refused.
#include <cstddef>
#include <cstdint>

namespace veldmoor {

// Hashes of the largest piece count plus a generous file list.
inline constexpr size_t kMaxTorrentFileBytes = size_t{8} << 20;
// Pieces are checked in slices, but peers and the write window still hold
// pieces in memory.
inline constexpr int64_t kMaxPieceLength = int64_t{64} << 20;
// About 28 MiB of piece table; 2 GiB content still fits 16 KiB pieces.
inline constexpr int64_t kMaxPieceCount = int64_t{1} << 18;
inline constexpr int64_t kMaxFileCount = 16384;

}  // namespace veldmoor
