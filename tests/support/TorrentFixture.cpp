#include "tests/support/TorrentFixture.h"

#include <openssl/evp.h>

namespace veldmoor::test {
namespace {

std::string Sha1(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string Text(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

}  // namespace

std::string PatternBytes(size_t length, uint32_t seed) {
    std::string bytes(length, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string SingleFileTorrent(const std::string& name, const std::string& content, int64_t pieceLength,
                              const std::string& announce) {
    std::string hashes;
    for (size_t at = 0; at < content.size(); at += static_cast<size_t>(pieceLength))
        hashes += Sha1(content.substr(at, static_cast<size_t>(pieceLength)));
    std::string torrent = "d";
    if (!announce.empty()) torrent += Text("announce") + Text(announce);
    torrent += Text("info") + "d" + Text("length") + "i" + std::to_string(content.size()) + "e" + Text("name") +
               Text(name) + Text("piece length") + "i" + std::to_string(pieceLength) + "e" + Text("pieces") +
               Text(hashes) + "ee";
    return torrent;
}

}  // namespace veldmoor::test
