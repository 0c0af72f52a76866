#include "tests/torrent/PieceMapTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <random>
#include <sstream>

#include "foundation/ClockThread.h"
#include "torrent/TTorrent.h"

namespace veldmoor::test {
namespace {

// The map reads the engine clock, which runs a thread; stop it after the tests.
class EngineClockEnvironment : public ::testing::Environment {
public:
    void TearDown() override { TimeStop(); }
};

[[maybe_unused]] ::testing::Environment* const g_clockEnvironment =
    ::testing::AddGlobalTestEnvironment(new EngineClockEnvironment);

}  // namespace

TPieces* LoadMap(FakeOwner& owner, const std::string& torrent, const MapSettings& settings, bool* loaded) {
    auto* map = new TPieces(&owner);
    map->SetJournalPath(settings.journalPath);
    map->SetPieceStatusText(settings.bitsText);
    map->SetFileChoiceText(settings.partText);
    map->SetWriteWindow(settings.writeWindow);
    map->Torrent()->SetTorrentBytes(torrent);
    const bool ok = map->Torrent()->Load();
    if (loaded) *loaded = ok;
    return map;
}

void FakeOwner::OnPieceMapEvent(const PieceMapEvent& event) {
    events.push_back(event);
    if (event.type == kPieceStatusEvent) bitsText = event.text;
    if (event.type == kFileChoicesEvent) partText = event.text;
    if (onEvent) onEvent(event);
}

int FakeOwner::CountEvents(int32_t type) const {
    int count = 0;
    for (const PieceMapEvent& event : events) count += event.type == type ? 1 : 0;
    return count;
}

std::string Text(const std::string& bytes) { return std::to_string(bytes.size()) + ":" + bytes; }

std::string Integer(int64_t value) { return "i" + std::to_string(value) + "e"; }

std::string Dict(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string text = "d";
    for (const auto& [key, value] : entries) text += Text(key) + value;
    return text + "e";
}

std::string List(const std::vector<std::string>& items) {
    std::string text = "l";
    for (const std::string& item : items) text += item;
    return text + "e";
}

std::string Content(size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string Sha1Bytes(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string PieceHashes(const std::string& content, int64_t pieceLength) {
    std::string hashes;
    for (size_t at = 0; at < content.size(); at += static_cast<size_t>(pieceLength)) {
        hashes += Sha1Bytes(content.substr(at, static_cast<size_t>(pieceLength)));
    }
    return hashes;
}

std::string SingleFileInfo(const std::string& name, const std::string& content, int64_t pieceLength) {
    return Dict({{"length", Integer(static_cast<int64_t>(content.size()))},
                 {"name", Text(name)},
                 {"piece length", Integer(pieceLength)},
                 {"pieces", Text(PieceHashes(content, pieceLength))}});
}

std::string MultiFileInfo(const std::string& name,
                          const std::vector<std::pair<std::vector<std::string>, std::string>>& files,
                          int64_t pieceLength) {
    std::vector<std::string> entries;
    std::string content;
    for (const auto& [path, bytes] : files) {
        std::vector<std::string> parts;
        for (const std::string& part : path) parts.push_back(Text(part));
        entries.push_back(Dict({{"length", Integer(static_cast<int64_t>(bytes.size()))}, {"path", List(parts)}}));
        content += bytes;
    }
    return Dict({{"files", List(entries)},
                 {"name", Text(name)},
                 {"piece length", Integer(pieceLength)},
                 {"pieces", Text(PieceHashes(content, pieceLength))}});
}

std::string TorrentWithInfo(const std::string& info) {
    return Dict({{"announce", Text("http://tracker.test/announce")}, {"info", info}});
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace veldmoor::test
