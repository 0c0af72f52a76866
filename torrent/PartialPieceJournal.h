#pragma once
// The partial-piece journal: the blocks of unfinished pieces that lie beyond
// their hashed prefix, kept over a restart in the state file's path + "df".
// Owns the file and its byte layout; which pieces go in and what a restored
// record means stay with the piece map. Records check themselves against the
// info hash; reading stops at the first damaged one.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "torrent/Sha1State.h"
#include "torrent/TPiece.h"

namespace veldmoor {

// One record's body read back: the hashed prefix it continues and its blocks,
// the padding of the content's short last slot dropped.
struct JournalRecord {
    int32_t prefix = 0;
    HeldRanges blocks;
};

class PartialPieceJournal {
public:
    // "" for none.
    void SetPath(std::string path) { path_ = std::move(path); }
    bool Enabled() const { return !path_.empty(); }
    void Delete() const;

    // Replaces the journal with a record for every piece that holds whole
    // 16 KiB slots beyond its prefix, leaving out the `verified` ones; with no
    // such piece there is no journal. The new journal is moved into place
    // whole, so a failed write (false) keeps the previous one.
    bool Save(const Sha1Digest& infoHash, const std::vector<TPiece>& pieces,
              const std::function<bool(int64_t piece)>& verified) const;
    // Hands each intact record, in order, to `take` until the first damaged
    // one (cut short, a wrong check value, a length beyond what a piece of
    // `pieceLength` bytes can need, a piece that is not `validPiece`) or until
    // `take` returns false.
    void Load(const Sha1Digest& infoHash, int32_t pieceLength, const std::function<bool(int64_t piece)>& validPiece,
              const std::function<bool(int32_t piece, std::string_view body)>& take) const;

private:
    std::string path_;
};

// A record body for a piece of `pieceLength` bytes; none when its layout is
// broken, a block lies outside the piece or below the prefix, a slot comes
// twice, or the blocks hold fewer bytes than the body says.
std::optional<JournalRecord> ParseJournalBody(std::string_view body, int32_t pieceLength);

}  // namespace veldmoor
