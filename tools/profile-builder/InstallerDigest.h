#pragma once
// The digests a release needs of its installer: the MD5 of the whole file and
// the SHA-1 of each torrent piece, taken from one pass over the bytes.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veldmoor::profilebuilder {

struct InstallerDigests {
    std::string md5Hex;       // lower-case hex of the whole file
    std::string pieceHashes;  // 20-byte SHA-1 of each piece, concatenated
    uint64_t size = 0;
};

// Whole-file MD5 and per-piece SHA-1 of bytes fed in order.
class DigestStream {
public:
    explicit DigestStream(uint32_t pieceLength);
    ~DigestStream();
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;

    bool Ready() const;
    void Add(const char* bytes, size_t length);
    // The two halves of Add, so a caller may run them on two threads.
    void AddToMd5(const char* bytes, size_t length);
    void AddToPieces(const char* bytes, size_t length);
    InstallerDigests Finish();

private:
    struct Contexts;
    void ClosePiece();

    const uint32_t pieceLength_;
    size_t inPiece_ = 0;
    uint64_t size_ = 0;
    std::unique_ptr<Contexts> contexts_;
    std::string pieceHashes_;
};

// Called now and then while a file is hashed: bytes done and the whole.
using HashProgress = std::function<void(uint64_t done, uint64_t total)>;

// Reads the file once; the MD5 runs on a second thread beside the piece
// hashes and the next read, so the pass costs about the slower digest alone.
bool DigestFile(const std::string& path, uint32_t pieceLength, const HashProgress& progress,
                InstallerDigests& digests, std::string& error);

std::string HexOf(const std::string& bytes);

}  // namespace veldmoor::profilebuilder
