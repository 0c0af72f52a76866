#pragma once
// The two texts that carry a piece map's progress over to the next run, as
// bencoded bytes: the piece status ("bits": info hash, each file's write time,
// size and priority, the SHA-1 states of partial pieces, the verified bits and
// their check value) and the file choices ("part": the deselected files).
// Only the layout lives here; what the map puts in and whether the disk still
// agrees with a saved status, the map decides.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "torrent/Sha1State.h"

namespace veldmoor {

class QElement;

struct StatusFile {
    std::string path;
    uint64_t time = 0;  // 0: the file was absent
    int64_t size = -1;
    int32_t priority = 0;
};

struct StatusPiece {
    int32_t index = 0;
    int32_t part = 0;  // bytes hashed from the piece's start
    Sha1StateImage image{};
};

struct PieceStatus {
    std::optional<Sha1Digest> infoHash;
    // The partial pieces are written only when some file is listed.
    std::vector<StatusFile> files;
    std::vector<StatusPiece> partialPieces;
    std::vector<uint8_t> bits;
};

// The "bits" text; empty when it cannot be encoded.
std::string EncodePieceStatus(const PieceStatus& status);

// A saved "bits" text read back. Every question checks what it reads.
class SavedPieceStatus {
public:
    // None unless the text is a bencoded dictionary.
    static std::optional<SavedPieceStatus> Parse(std::string_view text);
    SavedPieceStatus(SavedPieceStatus&&) noexcept;
    SavedPieceStatus& operator=(SavedPieceStatus&&) noexcept;
    ~SavedPieceStatus();

    // The saved info hash, when the text carries one of the right length.
    std::optional<Sha1Digest> InfoHash() const;
    // Whether the text lists a file under `path`.
    bool ListsFile(const std::string& path) const;
    // The file listed under `path` with its time and size (and its priority
    // when that is -2..2); none when its record is incomplete.
    struct FileRecord {
        uint64_t time = 0;
        int64_t size = -1;
        std::optional<int32_t> priority;
    };
    std::optional<FileRecord> File(const std::string& path) const;
    // The verified bits, when they have `bytes` bytes, no bit beyond
    // `pieceCount` and the check value over `infoHash` matches.
    std::optional<std::vector<uint8_t>> Bits(size_t bytes, uint64_t pieceCount, const Sha1Digest& infoHash) const;
    // The partial pieces whose entry is whole and checks out: an index below
    // `pieceCount` whose bit in `bits` is clear, a part above 0, and a state
    // image that matches its check value. Whether the part lies inside its
    // piece and the image fits the part is the map's to see.
    std::vector<StatusPiece> PartialPieces(int64_t pieceCount, std::span<const uint8_t> bits) const;

private:
    explicit SavedPieceStatus(std::unique_ptr<QElement> root);

    std::unique_ptr<QElement> root_;
};

// The "part" text: every file by its relative name, the deselected ones
// marked; empty when it cannot be encoded.
struct FileChoice {
    std::string relativeName;
    bool deselected = false;
};
std::string EncodeFileChoices(const std::vector<FileChoice>& files);
// The relative names a "part" text deselects; none for a text that is not one.
std::set<std::string> DeselectedFiles(std::string_view text);

}  // namespace veldmoor
