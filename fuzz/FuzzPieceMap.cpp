#include "fuzz/FuzzPieceMap.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "fuzz/FuzzSupport.h"
#include "platform/Files.h"
#include "torrent/TTorrent.h"

namespace veldmoor::fuzz {
namespace {

std::string Text(const std::string& bytes) { return std::to_string(bytes.size()) + ":" + bytes; }

std::string ZeroTorrent() {
    std::string hashes;
    for (int32_t piece = 0; piece < kFixturePieces; ++piece) {
        const int64_t length = std::min<int64_t>(kFixturePieceLength, kFixtureLength - int64_t{piece} * kFixturePieceLength);
        const std::string zeros(static_cast<size_t>(length), '\0');
        const Sha1Digest digest = Sha1Of(zeros);
        hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    const std::string info = "d6:lengthi" + std::to_string(kFixtureLength) + "e4:name8:game.bin12:piece lengthi" +
                             std::to_string(kFixturePieceLength) + "e6:pieces" + Text(hashes) + "e";
    return "d8:announce" + Text("http://tracker/announce") + "4:info" + info + "e";
}

PieceMapFixture MakeFixture() {
    PieceMapFixture fixture;
    std::random_device random;
    fixture.folder = platform::JoinPath(platform::TemporaryFolder(), "veldmoor-fuzz-" + std::to_string(random())) + "/";
    if (!platform::CreateDirectories(fixture.folder)) Fail("fuzz fixture", "cannot make the fixture folder");
    fixture.torrent = ZeroTorrent();

    // A working map creates the working file and says what it saved.
    QuietOwner owner(fixture.folder, false);
    TPieces* map = new TPieces(&owner);
    map->Torrent()->SetTorrentBytes(fixture.torrent);
    if (!map->Torrent()->Load()) Fail("fuzz fixture", "the fixture torrent does not load");
    if (!map->Flush(true, true)) Fail("fuzz fixture", "the fixture map does not save");
    fixture.infoHash = map->Torrent()->InfoHash();
    map->Reset();
    ReleaseRef(map);
    fixture.statusText = owner.statusText;
    if (fixture.statusText.empty()) Fail("fuzz fixture", "the fixture map saved no status");
    return fixture;
}

}  // namespace

const PieceMapFixture& SharedFixture() {
    static const PieceMapFixture fixture = MakeFixture();
    static const bool cleanupRegistered = [] {
        // libFuzzer leaves through exit(), also after a finding.
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(SharedFixture().folder, ignored);
        });
        return true;
    }();
    (void)cleanupRegistered;
    return fixture;
}

TPieces* LoadFixtureMap(IPieceMapOwner& owner, const MapInputs& inputs) {
    auto* map = new TPieces(&owner);
    map->SetJournalPath(inputs.journalPath);
    map->SetPieceStatusText(inputs.statusText);
    map->SetFileChoiceText(inputs.fileChoiceText);
    map->Torrent()->SetTorrentBytes(SharedFixture().torrent);
    (void)map->Torrent()->Load();
    return map;
}

}  // namespace veldmoor::fuzz
