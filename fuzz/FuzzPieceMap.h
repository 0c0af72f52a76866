#pragma once
// A small torrent whose content is all zero bytes, its working file on disk
// and the saved status of the untouched map: what the state-file and journal
// targets need so that a map gets as far as reading their input.
#include <string>

#include "torrent/Sha1State.h"
#include "torrent/TPieces.h"

namespace veldmoor::fuzz {

inline constexpr int32_t kFixturePieceLength = 32768;
inline constexpr int32_t kFixturePieces = 4;
inline constexpr int64_t kFixtureLength = int64_t{kFixturePieceLength} * kFixturePieces - 1000;

struct PieceMapFixture {
    std::string folder;      // ends in a separator
    std::string torrent;     // bencoded
    std::string statusText;  // the untouched map's saved status
    Sha1Digest infoHash{};
};

// Made on first use, in a fresh folder under the temporary folder.
const PieceMapFixture& SharedFixture();

struct MapInputs {
    std::string statusText;
    std::string fileChoiceText;
    std::string journalPath;
};

// Loads the fixture's torrent into a new map for a stopping owner, which
// reads `inputs` and then gives up before touching any file. The caller
// releases the map.
TPieces* LoadFixtureMap(IPieceMapOwner& owner, const MapInputs& inputs);

}  // namespace veldmoor::fuzz
