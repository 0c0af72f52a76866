#pragma once
// Completed pieces checked and written off their job's thread: a bounded queue
// of pieces, one worker thread, and the outcomes kept for the job's next turn.
// The worker touches only what a queued piece carries (its bytes, the SHA-1 of
// its prefix, its expected digest and file handles of its own), so the piece
// map needs no lock of its own for it.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "torrent/Sha1State.h"

namespace veldmoor {

// One file's share of a piece: the piece's bytes from `pieceOffset` go to the
// file at `fileOffset`.
struct PieceWriteTarget {
    platform::File file;  // a handle of the writer's own
    int64_t fileOffset = 0;
    int32_t pieceOffset = 0;
    int32_t length = 0;
};

struct PieceToWrite {
    int32_t piece = 0;
    int32_t from = 0;  // the first byte not on disk yet: the hashed prefix ends here
    std::unique_ptr<Sha1Hasher> prefixHash;  // over [0, from); null when `from` is 0
    std::optional<Sha1Digest> expected;      // none: the piece is written unchecked
    std::map<int32_t, std::string> bytes;    // [from, piece end), without a gap
    std::vector<PieceWriteTarget> targets;

    int64_t Size() const;
};

struct WrittenPiece {
    int32_t piece = 0;
    bool matched = true;
    platform::IoStatus written = platform::IoStatus::Ok;
    // Given back when the check passed but the write did not.
    std::map<int32_t, std::string> bytes;
};

class BackgroundPieceWriter {
public:
    explicit BackgroundPieceWriter(int64_t queueLimitBytes);
    // Drops the pieces still queued (nothing records them as written), lets
    // the one at work finish and joins the worker.
    ~BackgroundPieceWriter();
    BackgroundPieceWriter(const BackgroundPieceWriter&) = delete;
    BackgroundPieceWriter& operator=(const BackgroundPieceWriter&) = delete;

    // Queues `piece`. Waits while the queue already holds the limit, so memory
    // stays bounded; a piece beyond the limit waits for an empty queue.
    void Submit(PieceToWrite piece);
    // The outcomes so far, in the order the pieces finished.
    std::vector<WrittenPiece> TakeFinished();
    // Waits until every queued piece has finished.
    void WaitUntilIdle();
    // Bytes queued or at work.
    int64_t PendingBytes() const;

private:
    void Run();
    static WrittenPiece Process(PieceToWrite& piece);

    const int64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable workArrived_;
    std::condition_variable workFinished_;
    std::deque<PieceToWrite> queue_;
    int64_t pendingBytes_ = 0;
    bool stopping_ = false;
    std::vector<WrittenPiece> finished_;
    std::thread worker_;  // started with the first piece
};

}  // namespace veldmoor
