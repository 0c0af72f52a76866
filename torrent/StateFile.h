#pragma once
// The task's state file: a bencoded dictionary with up to four byte strings
// (bits, part, seeds, torrent), written in that (sorted) order.
#include <optional>
#include <string>
#include <string_view>

namespace veldmoor {

struct SavedStateTexts {
    std::string bits;     // the piece map's saved status
    std::string part;     // the file choices
    std::string seeds;    // carried over from an earlier state file, never produced here
    std::string torrent;  // the bencoded torrent the job loaded

    bool bitsChanged = false;
    bool partChanged = false;
    bool seedsChanged = false;
    bool torrentChanged = false;

    bool AnyChanged() const { return bitsChanged || partChanged || seedsChanged || torrentChanged; }
    void ClearChanged() { bitsChanged = partChanged = seedsChanged = torrentChanged = false; }
};

// Takes every value of the four keys that is longer than 2 bytes into `texts`;
// other texts stay as they were. False when `bytes` is not a bencoded dictionary.
bool ReadStateFile(std::string_view bytes, SavedStateTexts& texts);

// The encoded dictionary; keys with an empty text are left out.
std::optional<std::string> EncodeStateFile(const SavedStateTexts& texts);

}  // namespace veldmoor
