#pragma once
// The task's state file: a bencoded dictionary with up to five byte strings
// (bits, part, seeds, torrent, versions), written in that (sorted) order.
#include <optional>
#include <string>
#include <string_view>

namespace veldmoor {

struct SavedStateTexts {
    std::string bits;     // the piece map's saved status
    std::string part;     // the file choices
    std::string seeds;    // carried over from an earlier state file, never produced here
    std::string torrent;  // the bencoded torrent the job loaded
    // Each server source's file version: "URL<TAB>validator" lines.
    std::string versions;

    bool bitsChanged = false;
    bool partChanged = false;
    bool seedsChanged = false;
    bool torrentChanged = false;
    bool versionsChanged = false;

    bool AnyChanged() const { return bitsChanged || partChanged || seedsChanged || torrentChanged || versionsChanged; }
    void ClearChanged() { bitsChanged = partChanged = seedsChanged = torrentChanged = versionsChanged = false; }
};

// Takes every value of the five keys that is longer than 2 bytes into `texts`;
// other texts stay as they were. False when `bytes` is not a bencoded dictionary.
bool ReadStateFile(std::string_view bytes, SavedStateTexts& texts);

// The encoded dictionary; keys with an empty text are left out.
std::optional<std::string> EncodeStateFile(const SavedStateTexts& texts);

}  // namespace veldmoor
