#pragma once
// A job's piece map: the files of the content, their pieces and 16 KiB blocks,
// which pieces are verified, how far each unfinished piece has got, and where
// every byte lives on disk. It writes received blocks, checks every piece's
// SHA-1, grows the files, saves and restores its progress, and tells its job
// about every change. Used by its job's thread only.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/TRefObject.h"
#include "platform/File.h"
#include "torrent/BackgroundPieceWriter.h"
#include "torrent/IPieceMapOwner.h"
#include "torrent/MemoryWindow.h"
#include "torrent/PartialPieceJournal.h"
#include "torrent/PieceFile.h"
#include "torrent/PieceProgress.h"
#include "torrent/TPiece.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {

// WriteBlock: the piece the block completed failed its SHA-1.
inline constexpr int kPieceHashFailed = -99;

class QElement;
class TTorrent;

inline constexpr const char* kWorkingSuffix = ".vmtmp";

class TPieces final : public TRefObject {
public:
    // Makes its own torrent when `torrent` is null; otherwise counts it.
    explicit TPieces(IPieceMapOwner* job, TTorrent* torrent = nullptr);
    ~TPieces() override;

    // What the job hands over before the build.
    void SetWriteWindow(int32_t units) { window_.SetUnits(units); }
    void SetSaveStatus(bool on) { saveStatus_ = on; }
    void SetQuickCheck(bool on) { quickCheck_ = on; }
    void SetUseSavedStatus(bool on) { useSavedStatus_ = on; }
    void SetForceFullCheck(bool on) { forceFullCheck_ = on; }
    void SetExactGrowth(bool on) { exactGrowth_ = on; }
    // Completed pieces are checked and written on a worker thread of the
    // map's own; their outcomes arrive with CollectWrittenPieces.
    void SetBackgroundWrites(bool on) { backgroundWrites_ = on; }
    // "" switches working names off.
    void SetWorkingSuffix(std::string suffix) { workingSuffix_ = std::move(suffix); }
    // The full path of the partial-piece journal ("" for none).
    void SetJournalPath(std::string path) { journal_.SetPath(std::move(path)); }
    void SetFileChoiceText(std::string text) { fileChoiceText_ = std::move(text); }
    void SetPieceStatusText(std::string text) { pieceStatusText_ = std::move(text); }

    // Building and opening.
    bool Build(const QElement* info, TPieces* previous);
    bool Finish(TPieces* previous);
    bool Resume(TPieces* previous);
    bool FullCheck();
    bool QuickCheck();
    // A ".vminfo" text: hash, size, piece length and tracker, no piece hashes.
    bool ReadInfoText(std::string_view text);
    // One file of `totalLength` bytes whose pieces are not hash-checked (a
    // download known only by its size).
    bool BuildWithoutHashes(int64_t totalLength, int32_t pieceLength);
    // End of a run: writes the journal, closes the files, frees the tables.
    void Reset();

    // Queries.
    bool IsReady() const;
    bool IsValidPiece(int64_t piece) const;
    bool IsPieceDone(int64_t piece) const;
    bool IsPieceWanted(int64_t piece) const;
    bool HasBlock(int64_t block) const;
    bool IsComplete() const { return pieceCount_ > 0 && progress_.IsComplete(); }
    // No piece is left to fetch: each is verified, complete in memory or unwanted.
    bool HoldsEveryWantedPiece() const;
    // The write window in bytes.
    int64_t WriteWindowBytes() const { return window_.Bytes(); }
    // The first byte of `piece` still to fetch; -1 when none is missing.
    int32_t FirstMissingByte(int64_t piece) const;

    // Data.
    // Bytes accepted (> 0); 0 when the map does not want them; -1 for a block
    // outside the content; -99 when a piece it completed failed its SHA-1.
    int WriteBlock(int64_t block, int32_t length, const void* bytes, BlockSender* sender);
    void SetPieceDone(int64_t piece, bool done);
    // Forgets every piece, verified or not: the content on disk is no longer
    // the one the map was filled from.
    void ForgetProgress();
    // Drops what `piece` holds in memory beyond its in-order prefix.
    void DropHeldData(int64_t piece);
    // Reads from a verified (or verified-in-memory) piece; bytes read or -1.
    int32_t ReadPiece(int64_t piece, int32_t offset, int32_t length, void* buffer);
    // Takes the outcomes of pieces the background writer finished: a piece
    // counts as verified only here, once its check passed and its bytes are on disk.
    void CollectWrittenPieces();
    // Waits for every piece handed to the background writer, then collects.
    void FinishQueuedWrites();
    // Bytes handed to the background writer and not finished yet.
    int64_t BytesAtWriter() const;
    // Closing the files also waits for the background writer.
    bool Flush(bool closeFiles, bool writeStatus);
    void WriteBack();
    void Relieve();
    void CloseFiles();

    // Saved progress.
    void SaveStatus();
    bool LoadStatus();
    void SaveFileChoices();
    bool SavePartialPieces();
    void LoadPartialPieces();
    // Sets a file's priority for the user; below -2 deselects it.
    bool SetFilePriority(int32_t file, int32_t priority);

    TTorrent* Torrent() const { return torrent_; }
    IPieceMapOwner* Job() const { return job_; }
    const std::string& Name() const { return name_; }
    const std::string& FolderPath() const { return folder_; }
    int64_t TotalLength() const { return totalLength_; }
    int32_t PieceLength() const { return pieceLength_; }
    int64_t PieceCount() const { return pieceCount_; }
    int32_t PieceLengthOf(int64_t piece) const;
    int32_t FileCount() const { return static_cast<int32_t>(files_.size()); }
    const TPieceFile& FileEntry(int32_t index) const { return files_[static_cast<size_t>(index)]; }
    const std::vector<uint8_t>& Bitfield() const { return progress_.Bits(); }
    const std::vector<int32_t>& InProgressPieces() const { return inProgress_; }
    bool HashCheck() const { return built_; }
    // The last Build failed on the metainfo itself (not on the disk or a stop).
    bool RefusedMetainfo() const { return metainfoRefused_; }
    int64_t ReceivedBytes() const { return progress_.ReceivedBytes(); }
    int64_t CompletedBytes() const { return progress_.CompletedBytes(); }
    int64_t WantedBytes() const { return progress_.WantedBytes(); }
    int64_t WantedPieces() const { return progress_.WantedPieces(); }
    int32_t PiecesVerified() const { return progress_.PiecesVerified(); }
    // Wanted pieces neither verified nor complete in memory (deselected
    // pieces verified earlier may make it a little low).
    int64_t PiecesToFetch() const {
        return std::max<int64_t>(WantedPieces() - PiecesVerified() - piecesHeldComplete_, 0);
    }
    int32_t LastVerifiedPiece() const { return progress_.LastVerifiedPiece(); }
    int64_t CreationTime() const { return creationTime_; }
    int64_t ChangeTime() const { return changeTime_; }
    int64_t HeldBytes() const { return window_.Held(); }
    int32_t WriteWindow() const { return window_.Units(); }

private:
    void Clear();
    void Send(int32_t type, int64_t value = 0, int64_t data = 0, std::string text = {});
    bool ReadFileList(const QElement& info);
    bool AddSingleFile(const QElement& info);
    bool AddFileEntries(const QElement& files);
    void ChooseWorkingPath(TPieceFile& entry, const TPieces* previous) const;
    bool PieceTableFits() const;
    bool MakePieceTable();
    bool OpenAllFiles();
    bool TrimToLength(TPieceFile& entry);
    void ApplyFileChoices();
    void MarkUnwantedPieces();
    void RecountCounters();
    void RecountInProgress();
    bool TakeOverFrom(TPieces& previous);
    void ForgetContent();
    bool PieceHashMatches(const TPiece& piece, const Sha1Digest& digest) const;
    bool HasExpectedHashes() const { return built_ && !pieceHashes_.empty(); }

    // Writing (PieceWriter.cpp).
    int32_t WriteIntoPiece(TPiece& piece, int32_t offset, int32_t length, const char* bytes, BlockSender* sender);
    bool CompletePiece(TPiece& piece);
    void RejectPiece(TPiece& piece);
    bool HandToWriter(TPiece& piece);
    bool PrepareWriteTargets(int64_t offset, int64_t length, std::vector<PieceWriteTarget>& targets);
    void TakeWrittenPiece(WrittenPiece& outcome);
    void MarkWritten(TPiece& piece);
    platform::IoStatus WritePrefixRun(TPiece& piece);
    platform::IoStatus WritePieceOut(TPiece& piece);
    void DiscardHeld(TPiece& piece);
    void StampDone(TPiece& piece);
    void RenameCompletedFiles();
    bool IsFileComplete(const TPieceFile& entry) const;

    // Disk access (PieceChecks.cpp).
    platform::IoStatus WriteContent(int64_t offset, const char* bytes, int64_t length);
    // Bytes read without a break from `offset`.
    int64_t ReadContent(int64_t offset, char* buffer, int64_t length);
    // The SHA-1 of a piece's bytes on disk; none when some are missing.
    std::optional<Sha1Digest> HashPieceOnDisk(const TPiece& piece);
    bool EnsureReadable(TPieceFile& entry);
    void ReleaseReadBuffer();

    // Takes one journal record back into `piece`; false when it does not
    // continue the piece's restored prefix.
    bool RestoreJournalRecord(TPiece& piece, std::string_view body);
    void FillSingleFileMap(int64_t totalLength, int32_t pieceLength, const std::string& name);

    IPieceMapOwner* job_ = nullptr;
    TTorrent* torrent_ = nullptr;
    bool built_ = false;  // also the hash-check switch
    bool metainfoRefused_ = false;
    std::string fileChoiceText_;
    std::string pieceStatusText_;
    std::vector<char> readBuffer_;
    std::string pieceHashes_;
    std::string folder_;
    std::string name_;
    int64_t totalLength_ = 0;
    int32_t pieceLength_ = 0;
    std::vector<TPiece> pieces_;
    int64_t pieceCount_ = 0;
    std::vector<TPieceFile> files_;
    std::vector<int32_t> inProgress_;

    PieceProgress progress_;
    int64_t creationTime_ = 0;
    int64_t changeTime_ = 0;

    MemoryWindow window_;
    int32_t piecesHeldComplete_ = 0;  // complete in memory, not yet written

    bool saveStatus_ = true;
    bool quickCheck_ = false;
    bool useSavedStatus_ = true;
    bool forceFullCheck_ = false;
    bool exactGrowth_ = false;
    std::string workingSuffix_ = kWorkingSuffix;
    PartialPieceJournal journal_;
    std::string writeRun_;  // reused to gather adjacent blocks for one write
    bool backgroundWrites_ = false;
    std::unique_ptr<BackgroundPieceWriter> writer_;  // made with the first complete piece
};

}  // namespace veldmoor
