#pragma once
// A single-file torrent (bencoded metainfo) from piece hashes made elsewhere,
// so a large installer is hashed once, while it is written.
#include <cstdint>
#include <string>
#include <vector>

namespace veldmoor::profilebuilder {

struct SingleFileTorrent {
    std::string metainfo;     // the whole bencoded text
    std::string infoHashHex;  // SHA-1 of the info dictionary, lower-case hex
};

// Keys are written sorted, as bencode requires; `announce` is left out when
// empty.
SingleFileTorrent MakeSingleFileTorrent(const std::string& name, uint64_t length, uint32_t pieceLength,
                                        const std::string& pieceHashes, const std::string& announce);

// Where a released torrent's peers and pieces come from.
struct TorrentSources {
    std::vector<std::string> trackers;  // the first is "announce"; all of them tier by tier in "announce-list"
    std::vector<std::string> webSeeds;  // "url-list": mirrors of the whole file
};

SingleFileTorrent MakeSingleFileTorrent(const std::string& name, uint64_t length, uint32_t pieceLength,
                                        const std::string& pieceHashes, const TorrentSources& sources);

// The piece length of a released torrent: 512 KiB, the length the product
// has always carried, for installers up to 4 GiB (8192 pieces); above that
// the length doubles until the file fits in 8192 pieces, so the torrent in
// the executable stays under 200 KiB.
uint32_t PieceLengthForSize(uint64_t size);

}  // namespace veldmoor::profilebuilder
