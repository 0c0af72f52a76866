#include "tools/profile-builder/TorrentWriter.h"

#include <openssl/evp.h>

namespace veldmoor::profilebuilder {
namespace {

std::string Text(const std::string& text) { return std::to_string(text.size()) + ":" + text; }
std::string Integer(uint64_t value) { return "i" + std::to_string(value) + "e"; }

std::string Sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    static const char* kDigits = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

std::string InfoDictionary(const std::string& name, uint64_t length, uint32_t pieceLength,
                           const std::string& pieceHashes) {
    return "d" + Text("length") + Integer(length) + Text("name") + Text(name) + Text("piece length") +
           Integer(pieceLength) + Text("pieces") + Text(pieceHashes) + "e";
}

}  // namespace

SingleFileTorrent MakeSingleFileTorrent(const std::string& name, uint64_t length, uint32_t pieceLength,
                                        const std::string& pieceHashes, const std::string& announce) {
    const std::string info = InfoDictionary(name, length, pieceLength, pieceHashes);
    std::string metainfo = "d";
    if (!announce.empty()) metainfo += Text("announce") + Text(announce);
    metainfo += Text("info") + info + "e";
    return {metainfo, Sha1Hex(info)};
}

SingleFileTorrent MakeSingleFileTorrent(const std::string& name, uint64_t length, uint32_t pieceLength,
                                        const std::string& pieceHashes, const TorrentSources& sources) {
    const std::string info = InfoDictionary(name, length, pieceLength, pieceHashes);
    std::string metainfo = "d";
    if (!sources.trackers.empty()) {
        metainfo += Text("announce") + Text(sources.trackers.front());
        // One tracker per tier: a client tries them all in order.
        metainfo += Text("announce-list") + "l";
        for (const std::string& tracker : sources.trackers) metainfo += "l" + Text(tracker) + "e";
        metainfo += "e";
    }
    metainfo += Text("info") + info;
    if (!sources.webSeeds.empty()) {
        metainfo += Text("url-list") + "l";
        for (const std::string& seed : sources.webSeeds) metainfo += Text(seed);
        metainfo += "e";
    }
    metainfo += "e";
    return {metainfo, Sha1Hex(info)};
}

uint32_t PieceLengthForSize(uint64_t size) {
    constexpr uint64_t kMostPieces = 8192;
    uint64_t length = 512 * 1024;
    while ((size + length - 1) / length > kMostPieces && length < (64u << 20)) length *= 2;
    return static_cast<uint32_t>(length);
}

}  // namespace veldmoor::profilebuilder
