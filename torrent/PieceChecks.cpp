// The content on disk: reads and writes across the file boundaries, and the
// checks of data found there when a download starts.
#include <algorithm>
#include <optional>

#include "foundation/EngineLocks.h"
#include "platform/Files.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int64_t kCheckBatchLimit = 4 * 1048576;
constexpr int64_t kCheckBatchPieces = 8;

}  // namespace

platform::IoStatus TPieces::WriteContent(int64_t offset, const char* bytes, int64_t length) {
    const GrowthPolicy policy{job_->PreallocateFiles(), exactGrowth_, pieceLength_};
    int64_t done = 0;
    while (done < length) {
        const int64_t position = offset + done;
        const int32_t index = FileAtOffset(files_, position);
        if (index < 0) return platform::IoStatus::Failed;
        TPieceFile& entry = files_[static_cast<size_t>(index)];
        const int64_t inFile = position - entry.offset;
        const int64_t count = std::min(length - done, entry.length - inFile);
        switch (OpenForWrite(entry, inFile + count, policy, *job_, [this] { ReleaseReadBuffer(); })) {
            case GrowthResult::Ready:
                break;
            case GrowthResult::NoRoom:
                return platform::IoStatus::DiskFull;
            case GrowthResult::Unwritable:
                return platform::IoStatus::Failed;
        }
        const platform::IoStatus status = entry.file.WriteAt(inFile, bytes + done, count);
        if (status != platform::IoStatus::Ok) {
            // A sparse file can still run out of room when its blocks are filled in.
            Send(status == platform::IoStatus::DiskFull ? kDiskFullEvent : kFileUnwritableEvent);
            return status;
        }
        done += count;
    }
    return platform::IoStatus::Ok;
}

bool TPieces::EnsureReadable(TPieceFile& entry) {
    if (entry.file.IsOpen()) return true;
    return entry.file.Open(entry.workingPath, platform::File::Mode::Read);
}

int64_t TPieces::ReadContent(int64_t offset, char* buffer, int64_t length) {
    int64_t done = 0;
    while (done < length) {
        const int64_t position = offset + done;
        const int32_t index = FileAtOffset(files_, position);
        if (index < 0) break;
        TPieceFile& entry = files_[static_cast<size_t>(index)];
        const int64_t inFile = position - entry.offset;
        const int64_t count = std::min(length - done, entry.length - inFile);
        if (!EnsureReadable(entry)) break;
        int64_t got;
        {
            ScopedLock guard(DiskLock());
            got = entry.file.ReadAt(inFile, buffer + done, count);
        }
        if (got <= 0) break;
        done += got;
        if (got < count) break;
    }
    return done;
}

void TPieces::ReleaseReadBuffer() {
    readBuffer_.clear();
    readBuffer_.shrink_to_fit();
}

std::optional<Sha1Digest> TPieces::HashPieceOnDisk(const TPiece& piece) {
    // In slices, so that a long piece never needs a buffer of its own length.
    if (readBuffer_.empty()) readBuffer_.resize(static_cast<size_t>(std::min<int64_t>(kCheckBatchLimit, piece.length)));
    const int64_t slice = static_cast<int64_t>(readBuffer_.size());
    const int64_t start = int64_t{piece.index} * pieceLength_;
    Sha1Hasher hasher;
    for (int64_t done = 0; done < piece.length;) {
        const int64_t count = std::min<int64_t>(piece.length - done, slice);
        if (ReadContent(start + done, readBuffer_.data(), count) != count) return std::nullopt;
        hasher.Update(readBuffer_.data(), static_cast<size_t>(count));
        done += count;
    }
    return hasher.Digest();
}

bool TPieces::FullCheck() {
    if (pieces_.empty()) return false;
    const bool sliced = pieceLength_ > kCheckBatchLimit;
    const int64_t batchPieces = std::clamp<int64_t>(kCheckBatchLimit / pieceLength_, 1, kCheckBatchPieces);
    const int64_t batchBytes = std::min(sliced ? kCheckBatchLimit : batchPieces * pieceLength_, totalLength_);
    readBuffer_.resize(static_cast<size_t>(batchBytes));

    int64_t present = 0;
    for (const TPieceFile& entry : files_) {
        if (entry.length > 0 && platform::FileExists(entry.workingPath)) present += entry.length;
    }
    progress_.SetReceivedBytes(present);

    int64_t goodBytes = 0;
    bool stopped = false;
    for (int64_t first = 0; first < pieceCount_ && !stopped; first += batchPieces) {
        const int64_t count = std::min(batchPieces, pieceCount_ - first);
        const int64_t start = first * pieceLength_;
        const int64_t bytes = std::min(count * pieceLength_, totalLength_ - start);
        const int64_t got = sliced ? 0 : ReadContent(start, readBuffer_.data(), bytes);
        for (int64_t k = 0; k < count; ++k) {
            const TPiece& piece = pieces_[static_cast<size_t>(first + k)];
            const int64_t at = k * pieceLength_;
            bool matches = false;
            if (at + piece.length <= got) {
                matches = PieceHashMatches(piece, Sha1Of(readBuffer_.data() + at, static_cast<size_t>(piece.length)));
            } else {
                // Past a gap in the batch (a missing or short file), or a long piece: read alone.
                const auto digest = HashPieceOnDisk(piece);
                matches = digest && PieceHashMatches(piece, *digest);
            }
            if (matches) {
                SetPieceDone(piece.index, true);
                goodBytes += piece.length;
            }
            if (job_->IsStopping()) {
                stopped = true;
                break;
            }
        }
    }
    ReleaseReadBuffer();
    Flush(true, true);
    return goodBytes == totalLength_ && !job_->IsStopping();
}

bool TPieces::QuickCheck() {
    int64_t present = 0;
    bool allPresent = true;
    for (const TPieceFile& entry : files_) {
        const auto size = platform::FileSize(entry.workingPath);
        if (size && static_cast<int64_t>(*size) == entry.length) {
            present += entry.length;
        } else {
            allPresent = false;
        }
    }
    progress_.SetReceivedBytes(present);
    if (allPresent) {
        bool sampled = true;
        for (const int64_t index : {int64_t{0}, pieceCount_ - 1, pieceCount_ / 2}) {
            if (index < 0 || index >= pieceCount_) continue;
            const TPiece& piece = pieces_[static_cast<size_t>(index)];
            const auto digest = HashPieceOnDisk(piece);
            if (!digest || (HasExpectedHashes() && !PieceHashMatches(piece, *digest))) {
                sampled = false;
                break;
            }
        }
        if (sampled) {
            progress_.VerifyAll();
            RecountCounters();
            Send(kSizesChangedEvent);
        }
    }
    ReleaseReadBuffer();
    Flush(true, true);
    return IsComplete();
}

}  // namespace veldmoor
