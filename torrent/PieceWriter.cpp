// Received data on its way from memory to disk: block writes, the SHA-1
// check of completed pieces, the periodic write-back and the memory relief.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EngineLocks.h"
#include "foundation/ClockThread.h"
#include "platform/FileRename.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int32_t kSha1CheckChannel = 30;
constexpr int32_t kPrefixWriteRun = 131072;
constexpr int64_t kDoneStampAge = 1805;
constexpr int64_t kReliefAge = 3600;

std::string SenderAddress(const BlockSender* sender) { return sender ? sender->SenderAddress() : "0.0.0.0 : 0"; }

}  // namespace

int TPieces::WriteBlock(int64_t block, int32_t length, const void* bytes, BlockSender* sender) {
    if (!IsReady() || block < 0 || length <= 0 || !bytes || block > totalLength_ / kBlockSize) return -1;
    const int64_t start = block * kBlockSize;
    if (start >= totalLength_ || length > totalLength_ - start) return -1;

    const char* data = static_cast<const char*>(bytes);
    const int64_t end = start + length;
    int accepted = 0;
    bool failed = false;
    // A piece length that is not a multiple of the block size lets a block
    // reach into the next piece; each piece takes its own part.
    for (int64_t position = start; position < end;) {
        const int64_t index = position / pieceLength_;
        TPiece& piece = pieces_[static_cast<size_t>(index)];
        const int64_t pieceStart = index * pieceLength_;
        const int32_t offset = static_cast<int32_t>(position - pieceStart);
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(end - position, piece.length - offset));
        if (IsPieceWanted(index)) {
            if (WriteIntoPiece(piece, offset, count, data + (position - start), sender) < 0) {
                failed = true;
            } else {
                accepted += count;
            }
        }
        position += count;
    }
    return failed ? kPieceHashFailed : accepted;
}

int32_t TPieces::WriteIntoPiece(TPiece& piece, int32_t offset, int32_t length, const char* bytes, BlockSender* sender) {
    piece.sender.Set(sender);
    // Bytes below the in-order position are on disk already.
    const int32_t from = std::max(offset, piece.received);
    if (from < offset + length) window_.Hold(piece.held.Add(from, bytes + (from - offset), offset + length - from));
    if (piece.HoldsToEnd() && !CompletePiece(piece)) return kPieceHashFailed;
    return length;
}

bool TPieces::CompletePiece(TPiece& piece) {
    if (backgroundWrites_ && HandToWriter(piece)) return true;
    if (HasExpectedHashes()) {
        bool matched = false;
        if (piece.received == 0 || piece.hasher) {
            Sha1Hasher hasher = piece.hasher ? *piece.hasher : Sha1Hasher();
            for (const auto& [start, bytes] : piece.held.Ranges()) {
                if (start >= piece.received) hasher.Update(bytes);
            }
            matched = PieceHashMatches(piece, hasher.Digest());
        }
        if (!matched) {
            RejectPiece(piece);
            return false;
        }
        job_->OnPieceChecked(piece.sender.Get(), true);
    }
    if (!piece.done) ++piecesHeldComplete_;
    piece.done = true;
    piece.pendingWrite = true;
    StampDone(piece);
    return true;
}

void TPieces::RejectPiece(TPiece& piece) {
    VeldmoorLog().Write("SHA1 check failed: piece " + std::to_string(piece.index) + " from " +
                            SenderAddress(piece.sender.Get()),
                        kSha1CheckChannel, kSha1CheckChannel);
    job_->OnCorruptPiece(piece.sender.Get(), piece.index);
    job_->OnPieceChecked(piece.sender.Get(), false);
    DiscardHeld(piece);
    piece.StartOver();
    piece.sender.Reset();
}

bool TPieces::HandToWriter(TPiece& piece) {
    // A prefix on disk without its running SHA-1 cannot be checked from memory.
    if (HasExpectedHashes() && piece.received > 0 && !piece.hasher) return false;
    const size_t hashAt = size_t{20} * static_cast<size_t>(piece.index);
    if (HasExpectedHashes() && hashAt + 20 > pieceHashes_.size()) return false;
    const int64_t pieceStart = int64_t{piece.index} * pieceLength_;
    PieceToWrite work;
    if (!PrepareWriteTargets(pieceStart + piece.received, piece.length - piece.received, work.targets)) return false;
    for (PieceWriteTarget& target : work.targets) target.pieceOffset += piece.received;
    work.piece = piece.index;
    work.from = piece.received;
    if (HasExpectedHashes()) {
        Sha1Digest expected{};
        std::memcpy(expected.data(), pieceHashes_.data() + hashAt, expected.size());
        work.expected = expected;
        work.prefixHash = std::move(piece.hasher);
    }
    // Only the bytes past the prefix; anything below it is on disk already.
    window_.Release(piece.held.Bytes());
    piece.held.DropBelow(piece.received);
    work.bytes = piece.held.TakeAll();
    piece.stamp = 0;
    piece.checking = true;
    ++piecesHeldComplete_;
    // Half the write window keeps the writer busy (a few pieces ahead of it)
    // without doubling what the job holds in memory.
    if (!writer_) writer_ = std::make_unique<BackgroundPieceWriter>(std::max(WriteWindowBytes() / 2, int64_t{pieceLength_}));
    writer_->Submit(std::move(work));
    return true;
}

bool TPieces::PrepareWriteTargets(int64_t offset, int64_t length, std::vector<PieceWriteTarget>& targets) {
    const GrowthPolicy policy{job_->PreallocateFiles(), exactGrowth_, pieceLength_};
    for (int64_t done = 0; done < length;) {
        const int64_t position = offset + done;
        const int32_t index = FileAtOffset(files_, position);
        if (index < 0) return false;
        TPieceFile& entry = files_[static_cast<size_t>(index)];
        const int64_t inFile = position - entry.offset;
        const int64_t count = std::min(length - done, entry.length - inFile);
        // The growth and its disk-full wait stay on the job's thread; the
        // writer only fills bytes in.
        if (OpenForWrite(entry, inFile + count, policy, *job_, [this] { ReleaseReadBuffer(); }) != GrowthResult::Ready)
            return false;
        PieceWriteTarget target;
        target.file = entry.file.Duplicate();
        if (!target.file.IsWritable()) return false;
        target.fileOffset = inFile;
        target.pieceOffset = static_cast<int32_t>(done);
        target.length = static_cast<int32_t>(count);
        targets.push_back(std::move(target));
        done += count;
    }
    return true;
}

void TPieces::CollectWrittenPieces() {
    if (!writer_) return;
    std::vector<WrittenPiece> finished = writer_->TakeFinished();
    if (finished.empty()) return;
    const int32_t verifiedBefore = PiecesVerified();
    for (WrittenPiece& outcome : finished) TakeWrittenPiece(outcome);
    RecountInProgress();
    // A file is seen complete under its final name, as after a flush.
    if (PiecesVerified() != verifiedBefore) RenameCompletedFiles();
}

void TPieces::FinishQueuedWrites() {
    if (!writer_) return;
    writer_->WaitUntilIdle();
    CollectWrittenPieces();
}

int64_t TPieces::BytesAtWriter() const { return writer_ ? writer_->PendingBytes() : 0; }

void TPieces::TakeWrittenPiece(WrittenPiece& outcome) {
    if (outcome.piece < 0 || outcome.piece >= pieceCount_) return;
    TPiece& piece = pieces_[static_cast<size_t>(outcome.piece)];
    if (!piece.checking) return;  // the piece was forgotten meanwhile
    piece.checking = false;
    --piecesHeldComplete_;
    if (!outcome.matched) {
        RejectPiece(piece);
        return;
    }
    if (HasExpectedHashes()) job_->OnPieceChecked(piece.sender.Get(), true);
    if (outcome.written != platform::IoStatus::Ok) {
        // Checked but not on disk: kept in memory like any complete piece,
        // so the usual write-back tries again (and waits out a full disk).
        Send(outcome.written == platform::IoStatus::DiskFull ? kDiskFullEvent : kFileUnwritableEvent);
        piece.held.Restore(std::move(outcome.bytes));
        window_.Hold(piece.held.Bytes());
        ++piecesHeldComplete_;
        piece.done = true;
        piece.pendingWrite = true;
        StampDone(piece);
        return;
    }
    changeTime_ = ClockSeconds();
    MarkWritten(piece);
}

void TPieces::MarkWritten(TPiece& piece) {
    BlockSender* sender = piece.sender.Get();
    if (sender) sender->AddRef();
    DiscardHeld(piece);
    piece.hasher.reset();
    piece.received = piece.length;
    if (piece.done) --piecesHeldComplete_;
    piece.done = false;
    piece.pendingWrite = false;
    piece.sender.Reset();
    SetPieceDone(piece.index, true);
    job_->CountPieceDelivery(sender);
    ReleaseRef(sender);
}

void TPieces::StampDone(TPiece& piece) {
    piece.stamp = ClockNow() - kDoneStampAge;
    changeTime_ = ClockSeconds();
}

void TPieces::DiscardHeld(TPiece& piece) {
    window_.Release(piece.held.Bytes());
    piece.held.Clear();
    piece.stamp = 0;
}

void TPieces::ForgetProgress() {
    FinishQueuedWrites();
    for (TPiece& piece : pieces_) {
        SetPieceDone(piece.index, false);
        DiscardHeld(piece);
        piece.StartOver();
    }
    window_.Recount(0);
    RecountCounters();
    SaveStatus();
    Send(kSizesChangedEvent);
}

void TPieces::DropHeldData(int64_t piece) {
    if (piece < 0 || piece >= pieceCount_) return;
    TPiece& entry = pieces_[static_cast<size_t>(piece)];
    // A piece verified in memory is complete; only partial data goes.
    if (entry.done) return;
    DiscardHeld(entry);
    RecountInProgress();
}

platform::IoStatus TPieces::WritePrefixRun(TPiece& piece) {
    const int32_t runEnd = std::min(piece.held.RunEnd(piece.received), piece.length);
    const int32_t runLength = runEnd - piece.received;
    if (runLength < kPrefixWriteRun || runEnd >= piece.length) return platform::IoStatus::Ok;
    if (piece.received > 0 && !piece.hasher) return platform::IoStatus::Ok;

    std::string run(static_cast<size_t>(runLength), '\0');
    if (!piece.held.Read(piece.received, runLength, run.data())) return platform::IoStatus::Ok;
    const int64_t position = int64_t{piece.index} * pieceLength_ + piece.received;
    const platform::IoStatus status = WriteContent(position, run.data(), runLength);
    if (status != platform::IoStatus::Ok) return status;
    if (!piece.hasher) piece.hasher = std::make_unique<Sha1Hasher>();
    piece.hasher->Update(run);
    const int64_t before = piece.held.Bytes();
    piece.held.DropBelow(runEnd);
    window_.Release(before - piece.held.Bytes());
    piece.received = runEnd;
    return platform::IoStatus::Ok;
}

platform::IoStatus TPieces::WritePieceOut(TPiece& piece) {
    const int64_t pieceStart = int64_t{piece.index} * pieceLength_;
    // Adjacent blocks go out in one write: one system call per run, not per block.
    int64_t runStart = -1;
    writeRun_.clear();
    const auto writeRun = [&] {
        if (writeRun_.empty()) return platform::IoStatus::Ok;
        return WriteContent(pieceStart + runStart, writeRun_.data(), static_cast<int64_t>(writeRun_.size()));
    };
    for (const auto& [start, bytes] : piece.held.Ranges()) {
        if (start < piece.received) continue;
        if (runStart >= 0 && runStart + static_cast<int64_t>(writeRun_.size()) == start) {
            writeRun_.append(bytes);
            continue;
        }
        const platform::IoStatus status = writeRun();
        if (status != platform::IoStatus::Ok) return status;  // stays in memory, pending
        runStart = start;
        writeRun_.assign(bytes);
    }
    const platform::IoStatus status = writeRun();
    if (status != platform::IoStatus::Ok) return status;
    MarkWritten(piece);
    return platform::IoStatus::Ok;
}

bool TPieces::HoldsEveryWantedPiece() const {
    if (!IsReady()) return false;
    for (int64_t i = 0; i < pieceCount_; ++i)
        if (IsPieceWanted(i)) return false;
    return true;
}

void TPieces::WriteBack() {
    if (!IsReady()) return;
    CollectWrittenPieces();
    // Verified pieces wait for company to be written with, but not for long.
    const uint32_t seconds = ClockSeconds();
    const bool keepDonePieces = window_.MayKeepDonePieces(seconds);
    // Once the disk is full the rest of the pass stays in memory.
    bool diskFull = false;
    int64_t doneHeld = 0;
    for (TPiece& piece : pieces_) {
        if (piece.held.Empty()) continue;
        if (!piece.done) {
            const bool verified = IsPieceDone(piece.index);
            if (piece.unwanted && !verified) {
                DiscardHeld(piece);
                piece.pendingWrite = false;
                continue;
            }
            if (piece.pendingWrite || verified || diskFull) continue;
            if (piece.held.Bytes() >= kPrefixWriteRun) {
                diskFull = WritePrefixRun(piece) == platform::IoStatus::DiskFull;
                if (piece.HoldsToEnd()) CompletePiece(piece);
            }
            continue;
        }
        if (!piece.pendingWrite) continue;
        if (keepDonePieces || diskFull) {
            doneHeld += piece.held.Bytes();
            continue;
        }
        const platform::IoStatus status = WritePieceOut(piece);
        if (status != platform::IoStatus::Ok) doneHeld += piece.held.Bytes();
        diskFull = status == platform::IoStatus::DiskFull;
    }
    window_.PassKept(doneHeld, seconds);

    int64_t held = 0;
    for (const TPiece& piece : pieces_) held += piece.held.Bytes();
    window_.Recount(held);
    RecountInProgress();
    if (window_.ReliefDue(ClockSeconds())) Relieve();
}

void TPieces::Relieve() {
    if (!window_.WorthRelieving()) return;
    const int64_t window = window_.Bytes();
    const int64_t now = ClockNow();
    std::vector<TPiece*> candidates;
    int64_t candidateBytes = 0;
    int64_t doneBytes = 0;
    for (TPiece& piece : pieces_) {
        if (piece.held.Empty()) continue;
        if (piece.done) {
            doneBytes += piece.held.Bytes();
            continue;
        }
        const bool verified = IsPieceDone(piece.index);
        if (verified) {
            if (now - piece.stamp > kReliefAge) {
                DiscardHeld(piece);
            } else {
                candidates.push_back(&piece);
                candidateBytes += piece.held.Bytes();
            }
        } else if (piece.unwanted) {
            DiscardHeld(piece);
        }
    }
    if (candidateBytes + doneBytes >= window) {
        std::sort(candidates.begin(), candidates.end(),
                  [](const TPiece* a, const TPiece* b) { return a->stamp < b->stamp; });
        for (TPiece* piece : candidates) {
            if (window_.HasRoomAfterRelief()) break;
            DiscardHeld(*piece);
        }
    }
    window_.Relieved(ClockSeconds());
}

bool TPieces::Flush(bool closeFiles, bool writeStatus) {
    if (closeFiles)
        FinishQueuedWrites();
    else
        CollectWrittenPieces();
    bool written = true;
    for (TPiece& piece : pieces_) {
        if (!piece.done || !piece.pendingWrite) continue;
        const platform::IoStatus status = WritePieceOut(piece);
        if (status == platform::IoStatus::Ok) continue;
        written = false;
        if (status == platform::IoStatus::DiskFull) break;  // the others would only wait again
    }
    RenameCompletedFiles();
    if (closeFiles) {
        for (TPieceFile& entry : files_) entry.file.Close();
    }
    if (writeStatus) SaveStatus();
    return written;
}

void TPieces::CloseFiles() {
    if (pieceLength_ <= 0) return;
    const int64_t perPiece = (int64_t{pieceLength_} + MemoryWindow::kUnit - 1) / MemoryWindow::kUnit;
    const int64_t limit = 128 / perPiece + 1;
    int64_t open = 0;
    for (const TPieceFile& entry : files_) open += entry.file.IsOpen() ? 1 : 0;
    if (open < limit) return;
    for (TPieceFile& entry : files_) entry.file.Close();
}

bool TPieces::IsFileComplete(const TPieceFile& entry) const {
    if (entry.length == 0) return true;
    const int64_t first = entry.offset / pieceLength_;
    for (int64_t i = first; i < first + entry.pieceSpan; ++i) {
        if (!IsPieceDone(i)) return false;
    }
    return true;
}

void TPieces::RenameCompletedFiles() {
    const bool complete = IsComplete();
    for (TPieceFile& entry : files_) {
        if (!entry.usesWorkingName || entry.IsDeselected()) continue;
        if (!complete && !IsFileComplete(entry)) continue;
        entry.file.Close();
        // Never over an existing file: the working file then waits for the next try.
        if (!platform::RenameNoReplace(entry.workingPath, entry.finalPath)) continue;
        entry.workingPath = entry.finalPath;
        entry.finalPath.clear();
        entry.usesWorkingName = false;
    }
}

int32_t TPieces::ReadPiece(int64_t piece, int32_t offset, int32_t length, void* buffer) {
    if (!IsValidPiece(piece) || !buffer || offset < 0 || length <= 0) return -1;
    const TPiece& entry = pieces_[static_cast<size_t>(piece)];
    if (length > entry.length - offset) return -1;
    char* out = static_cast<char*>(buffer);
    if (entry.done && entry.held.Read(offset, length, out)) return length;
    if (!IsPieceDone(piece)) return -1;
    const int64_t got = ReadContent(piece * pieceLength_ + offset, out, length);
    return static_cast<int32_t>(got);
}

}  // namespace veldmoor
