// Feeds arbitrary bytes to a piece map as torrent metainfo, the way a job
// loads a torrent, and as the short ".vminfo" text. The owner stops the map
// before it opens or creates a file, so whatever names and sizes the input
// declares never reach the disk. The sanitizers are the checks here: the
// metainfo's own values are covered by its unit tests.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace {

using namespace veldmoor;

// Never created: the map gives up before it would make it.
constexpr const char* kFolder = "/nonexistent/veldmoor-fuzz/";

void Load(const std::string& torrentBytes, const std::string& sourceText) {
    fuzz::QuietOwner owner(kFolder);
    auto* map = new TPieces(&owner);
    map->Torrent()->SetTorrentBytes(torrentBytes);
    map->Torrent()->SetSourceText(sourceText);
    (void)map->Torrent()->Load();
    ReleaseRef(map);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (!input.empty()) Load(input, {});
    Load({}, input + "$End$");
    return 0;
}
