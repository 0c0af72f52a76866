#include "tests/support/TorrentFixture.h"

#include "tests/support/TestSupport.h"

namespace veldmoor::test {

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
        hashes += Sha1Digest(content.substr(at, static_cast<size_t>(pieceLength)));
    std::string torrent = "d";
    if (!announce.empty()) torrent += BencodedText("announce") + BencodedText(announce);
    torrent += BencodedText("info") + "d" + BencodedText("length") + "i" + std::to_string(content.size()) + "e";
    torrent += BencodedText("name") + BencodedText(name) + BencodedText("piece length") + "i" +
               std::to_string(pieceLength) + "e" + BencodedText("pieces") + BencodedText(hashes) + "ee";
    return torrent;
}

}  // namespace veldmoor::test
