#pragma once
// A single-file torrent (bencoded metainfo) from piece hashes made elsewhere,
// so a large installer is hashed once, while it is written.
#include <cstdint>
#include <string>

namespace veldmoor::profilebuilder {

struct SingleFileTorrent {
    std::string metainfo;     // the whole bencoded text
    std::string infoHashHex;  // SHA-1 of the info dictionary, lower-case hex
};

// Keys are written sorted, as bencode requires; `announce` is left out when
// empty.
SingleFileTorrent MakeSingleFileTorrent(const std::string& name, uint64_t length, uint32_t pieceLength,
                                        const std::string& pieceHashes, const std::string& announce);

}  // namespace veldmoor::profilebuilder
