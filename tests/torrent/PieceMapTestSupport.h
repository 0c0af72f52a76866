#pragma once
// Helpers for piece-map and metainfo tests: a job stand-in that records what
// the map tells it, bencode text builders, and deterministic content.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "torrent/BlockSender.h"
#include "torrent/IPieceMapOwner.h"
#include "torrent/TPieces.h"

namespace veldmoor::test {

// A block sender that only names itself.
class FakeSender final : public BlockSender {
public:
    explicit FakeSender(std::string address) : address_(std::move(address)) {}
    std::string SenderAddress() const override { return address_; }

private:
    std::string address_;
};

class FakeOwner : public IPieceMapOwner {
public:
    void OnPieceMapEvent(const PieceMapEvent& event) override;
    bool IsStopping() const override { return stopping.load(); }
    std::string PieceMapTargetFile() const override { return target; }
    std::string PieceMapFolder() const override { return folder; }
    bool PreallocateFiles() const override { return preallocate; }
    bool HasReadyPieceMap() const override { return readyMap; }
    void SetRunState(int32_t state) override { runStates.push_back(state); }
    void SetStatusCode(int32_t code) override { statusCode = code; }
    void RequestStop() override { stopRequested = true; }
    void OnPieceChecked(BlockSender* sender, bool matched) override { checks.emplace_back(sender, matched); }
    void CountPieceDelivery(BlockSender* sender) override { deliveries.push_back(sender); }
    void OnCorruptPiece(BlockSender* sender, int32_t piece) override { corruptPieces.emplace_back(sender, piece); }

    int CountEvents(int32_t type) const;

    std::string target;
    std::string folder;
    bool preallocate = false;
    bool readyMap = false;
    std::atomic<bool> stopping{false};
    std::vector<int32_t> runStates;
    int32_t statusCode = 0;
    bool stopRequested = false;
    std::vector<std::pair<BlockSender*, bool>> checks;
    std::vector<BlockSender*> deliveries;
    std::vector<std::pair<BlockSender*, int32_t>> corruptPieces;
    std::vector<PieceMapEvent> events;
    std::string bitsText;  // the last "bits" text sent
    std::string partText;  // the last "part" text sent
    std::function<void(const PieceMapEvent&)> onEvent;
};

// Bencode pieces, written in the order given (never sorted).
std::string Text(const std::string& bytes);
std::string Integer(int64_t value);
std::string Dict(const std::vector<std::pair<std::string, std::string>>& entries);
std::string List(const std::vector<std::string>& items);

// Deterministic bytes: the same seed gives the same content.
std::string Content(size_t length, uint32_t seed);
// SHA-1 through OpenSSL's EVP interface, independent of the code under test.
std::string Sha1Bytes(const std::string& bytes);
// The concatenated piece hashes of `content`.
std::string PieceHashes(const std::string& content, int64_t pieceLength);

// An info dictionary for a single file.
std::string SingleFileInfo(const std::string& name, const std::string& content, int64_t pieceLength);
// An info dictionary for files (relative path components, content).
std::string MultiFileInfo(const std::string& name,
                          const std::vector<std::pair<std::vector<std::string>, std::string>>& files,
                          int64_t pieceLength);
std::string TorrentWithInfo(const std::string& info);

// A counted map held for one test; released at the end of the scope.
class MapHolder {
public:
    explicit MapHolder(TPieces* map = nullptr) : map_(map) {}
    ~MapHolder() { ReleaseRef(map_); }
    MapHolder(const MapHolder&) = delete;
    MapHolder& operator=(const MapHolder&) = delete;
    TPieces* operator->() const { return map_; }
    TPieces& operator*() const { return *map_; }
    TPieces* get() const { return map_; }

private:
    TPieces* map_;
};

struct MapSettings {
    std::string journalPath;
    std::string bitsText;
    std::string partText;
    int32_t writeWindow = 32;
};

// A new map whose torrent loads `torrent`, the way a job builds one. The map
// is returned whether or not the load succeeded; `loaded` tells which.
TPieces* LoadMap(FakeOwner& owner, const std::string& torrent, const MapSettings& settings = {},
                 bool* loaded = nullptr);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace veldmoor::test
