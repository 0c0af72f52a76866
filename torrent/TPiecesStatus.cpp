// What the piece map saves of its progress and takes back: the piece status
// ("bits") against the files as they are on disk, and the file choices
// ("part"). Their byte layout is PieceStatusText's.
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "torrent/Bitfield.h"
#include "torrent/PieceStatusText.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {

void TPieces::SaveStatus() {
    Send(kPieceStatusEvent);
    PieceStatus status;
    if (torrent_) status.infoHash = torrent_->InfoHash();
    for (const TPieceFile& entry : files_) {
        if (entry.workingPath.empty()) break;
        std::optional<uint64_t> time;
        int64_t size = -1;
        if (entry.file.IsOpen()) {
            time = entry.file.LastWriteTime();
            if (!time) break;
            size = entry.file.Size().value_or(-1);
        } else if ((time = platform::LastWriteTimeOf(entry.workingPath))) {
            const auto onDisk = platform::FileSize(entry.workingPath);
            size = onDisk ? static_cast<int64_t>(*onDisk) : -1;
        }
        status.files.push_back({entry.workingPath, time.value_or(0), size, entry.priority});
    }
    for (const TPiece& piece : pieces_) {
        if (piece.received <= 0 || !piece.hasher || IsPieceDone(piece.index)) continue;
        status.partialPieces.push_back({piece.index, piece.received, piece.hasher->ToImage()});
    }
    status.bits = progress_.Bits();
    std::string text = EncodePieceStatus(status);
    if (text.empty()) return;
    const int64_t length = static_cast<int64_t>(text.size());
    Send(kPieceStatusEvent, length, 0, std::move(text));
}

// The saved status counts only when every file is as it was left; otherwise
// nothing of it does.
bool TPieces::LoadStatus() {
    if (!useSavedStatus_ || !saveStatus_ || !torrent_ || files_.empty()) return false;
    const std::optional<SavedPieceStatus> saved = SavedPieceStatus::Parse(pieceStatusText_);
    if (!saved) return false;
    if (const auto hash = saved->InfoHash(); hash && *hash != torrent_->InfoHash()) return false;

    std::vector<std::optional<int32_t>> priorities(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) {
        const TPieceFile& entry = files_[i];
        std::string listed = entry.workingPath;
        if (!saved->ListsFile(listed)) listed = entry.finalPath;
        if (!saved->ListsFile(listed) && !entry.usesWorkingName) listed = entry.workingPath + workingSuffix_;
        if (!saved->ListsFile(listed)) return false;
        const auto record = saved->File(listed);
        if (!record) return false;
        const bool exists = platform::FileExists(entry.workingPath);
        if (exists && record->time == 0) return false;
        const auto size = platform::FileSize(entry.workingPath);
        const int64_t current = (exists && size) ? static_cast<int64_t>(*size) : -1;
        // Without piece hashes nothing could re-check the file, so a file that
        // only grew since the save (pieces written after it) is still trusted
        // for what the save recorded; a crash between saves then loses only
        // those later pieces.
        const bool grewSinceSave = !built_ && record->size >= 0 && current >= record->size;
        if (current != record->size && !grewSinceSave) return false;
        // Written by anything but us since the save: the data behind the saved
        // bits may have changed, so the pieces are checked again. Without
        // hashes nothing could check them, and our own writes after the last
        // save move the time too.
        if (built_ && exists && platform::LastWriteTimeOf(entry.workingPath) != record->time) return false;
        if (built_ && !entry.priorityFromUser) priorities[i] = record->priority;
    }

    const auto savedBits =
        saved->Bits(progress_.Bits().size(), static_cast<uint64_t>(pieceCount_), torrent_->InfoHash());
    if (!savedBits) return false;

    struct RestoredPiece {
        int32_t index = 0;
        int32_t part = 0;
        Sha1Hasher hasher;
    };
    std::vector<RestoredPiece> restored;
    for (const StatusPiece& entry : saved->PartialPieces(pieceCount_, *savedBits)) {
        if (entry.part >= PieceLengthOf(entry.index)) continue;
        RestoredPiece piece;
        if (!piece.hasher.FromImage(entry.image, static_cast<uint64_t>(entry.part))) continue;
        piece.index = entry.index;
        piece.part = entry.part;
        restored.push_back(std::move(piece));
    }

    for (size_t i = 0; i < files_.size(); ++i) {
        if (priorities[i]) files_[i].priority = *priorities[i];
    }
    for (int64_t i = 0; i < pieceCount_; ++i) SetPieceDone(i, HasBit(*savedBits, i));
    for (RestoredPiece& entry : restored) {
        TPiece& piece = pieces_[static_cast<size_t>(entry.index)];
        DiscardHeld(piece);
        piece.received = entry.part;
        piece.hasher = std::make_unique<Sha1Hasher>(entry.hasher);
    }
    progress_.SetReceivedBytes(totalLength_);
    MarkUnwantedPieces();
    RecountCounters();
    Send(kPublishEvent, 1);
    return true;
}

void TPieces::SaveFileChoices() {
    bool anyDeselected = false;
    for (const TPieceFile& entry : files_) anyDeselected = anyDeselected || entry.IsDeselected();
    if (!anyDeselected) {
        Send(kFileChoicesEvent);  // nothing deselected: the job drops its copy
        return;
    }
    std::vector<FileChoice> choices;
    for (const TPieceFile& entry : files_) choices.push_back({entry.relativeName, entry.IsDeselected()});
    std::string text = EncodeFileChoices(choices);
    if (text.empty()) return;
    const int64_t length = static_cast<int64_t>(text.size());
    Send(kFileChoicesEvent, length, 0, std::move(text));
}

void TPieces::ApplyFileChoices() {
    const std::set<std::string> deselected = DeselectedFiles(fileChoiceText_);
    for (TPieceFile& entry : files_) {
        if (deselected.count(entry.relativeName)) {
            entry.priority = kDeselectedPriority;
        } else if (entry.IsDeselected()) {
            entry.priority = 0;
        }
    }
    MarkUnwantedPieces();
}

}  // namespace veldmoor
