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

}  // namespace

SingleFileTorrent MakeSingleFileTorrent(const std::string& name, uint64_t length, uint32_t pieceLength,
                                        const std::string& pieceHashes, const std::string& announce) {
    const std::string info = "d" + Text("length") + Integer(length) + Text("name") + Text(name) +
                             Text("piece length") + Integer(pieceLength) + Text("pieces") + Text(pieceHashes) + "e";
    std::string metainfo = "d";
    if (!announce.empty()) metainfo += Text("announce") + Text(announce);
    metainfo += Text("info") + info + "e";
    return {metainfo, Sha1Hex(info)};
}

}  // namespace veldmoor::profilebuilder
