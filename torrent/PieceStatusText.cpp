// The two texts that carry a map's progress over to the next run: the piece
// status ("bits") and the file choices ("part").
#include <zlib.h>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <set>

#include "platform/File.h"
#include "platform/Files.h"
#include "torrent/Bitfield.h"
#include "torrent/Bencode.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

struct RecordedFile {
    uint64_t time = 0;
    int64_t size = -1;
    std::optional<int32_t> priority;
};

struct RestoredPiece {
    int32_t index = 0;
    int32_t part = 0;
    Sha1Hasher hasher;
};

uint32_t StateCheckValue(int32_t piece, const uint8_t* image) {
    return static_cast<uint32_t>(adler32_z(static_cast<uLong>(piece), image, kSha1StateImageSize));
}

// Guards the bitfield, which nothing else in the text can vouch for: a damaged
// bit would otherwise count a piece as verified that never was.
uint32_t BitfieldCheckValue(const Sha1Digest& infoHash, const uint8_t* bits, size_t length) {
    const uLong start = adler32_z(1, infoHash.data(), infoHash.size());
    return static_cast<uint32_t>(adler32_z(start, bits, length));
}

std::unique_ptr<QElement> NewList() { return ParseElement("le", 2); }

// Appends `child` to `container`, which then owns it.
void Adopt(QElement& container, std::unique_ptr<QElement> child) {
    if (child && container.Append(child.get())) child.release();
}

void AppendInteger(QElement& container, const char* key, int64_t value) { container.AppendText(key, -1, value, true); }

bool IsLeafNamed(const QElement* element, const char* name) {
    return element && element->GetKind() == kElementLeaf && element->GetBytes() == name;
}

bool IsIntegerLeaf(const QElement* element, const char* name) {
    return IsLeafNamed(element, name) && element->HasInteger();
}

// The key `path` of a file listing: a leaf with that text followed by "Low".
const QElement* FindFileKey(const QElement& root, const std::string& path) {
    if (path.empty()) return nullptr;
    const int count = root.GetCount();
    for (int i = 0; i + 1 < count; ++i) {
        const QElement* child = root.GetAt(i);
        if (child && child->GetKind() == kElementLeaf && !child->HasInteger() && child->GetBytes() == path &&
            IsIntegerLeaf(root.GetAt(i + 1), "Low"))
            return child;
    }
    return nullptr;
}

std::optional<RecordedFile> ReadFileRecord(const QElement& key) {
    const QElement* low = key.NextSibling();
    const QElement* high = low ? low->NextSibling() : nullptr;
    const QElement* size = high ? high->NextSibling() : nullptr;
    if (!IsIntegerLeaf(low, "Low") || !IsIntegerLeaf(high, "High") || !IsIntegerLeaf(size, "Size")) return std::nullopt;
    RecordedFile record;
    record.time = (static_cast<uint64_t>(high->GetInteger() & 0xFFFFFFFF) << 32) |
                  static_cast<uint64_t>(low->GetInteger() & 0xFFFFFFFF);
    record.size = size->GetInteger();
    const QElement* priority = size->NextSibling();
    if (IsIntegerLeaf(priority, "Priority") && priority->GetInteger() >= -2 && priority->GetInteger() <= 2) {
        record.priority = static_cast<int32_t>(priority->GetInteger());
    }
    return record;
}

}  // namespace

void TPieces::SaveStatus() {
    Send(kPieceStatusEvent);
    std::unique_ptr<QElement> root = NewDictionary();
    if (!root) return;
    if (torrent_) {
        root->AppendText("infohash", -1);
        root->AppendText(reinterpret_cast<const char*>(torrent_->InfoHash().data()), kSha1DigestSize);
    }
    int listed = 0;
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
        root->AppendText(entry.workingPath.data(), static_cast<int>(entry.workingPath.size()));
        AppendInteger(*root, "Low", static_cast<int64_t>(time.value_or(0) & 0xFFFFFFFF));
        AppendInteger(*root, "High", static_cast<int64_t>(time.value_or(0) >> 32));
        AppendInteger(*root, "Size", size);
        AppendInteger(*root, "Priority", entry.priority);
        ++listed;
    }
    if (listed > 0) {
        std::unique_ptr<QElement> list = NewList();
        for (const TPiece& piece : pieces_) {
            if (piece.received <= 0 || !piece.hasher || IsPieceDone(piece.index)) continue;
            const Sha1StateImage image = piece.hasher->ToImage();
            std::unique_ptr<QElement> status = NewDictionary();
            AppendInteger(*status, "Index", piece.index);
            AppendInteger(*status, "Part", piece.received);
            status->AppendText("Status", -1);
            status->AppendText(reinterpret_cast<const char*>(image.data()), static_cast<int>(image.size()));
            AppendInteger(*status, "CRC32", StateCheckValue(piece.index, image.data()));
            Adopt(*list, std::move(status));
        }
        root->AppendText("PieceStatus", -1);
        Adopt(*root, std::move(list));
    }
    root->AppendText("BitField", -1);
    const std::vector<uint8_t>& bitfield = progress_.Bits();
    root->AppendText(reinterpret_cast<const char*>(bitfield.data()), static_cast<int>(bitfield.size()));
    AppendInteger(
        *root, "BitFieldCheck",
        BitfieldCheckValue(torrent_ ? torrent_->InfoHash() : Sha1Digest{}, bitfield.data(), bitfield.size()));

    QByteBuffer encoded;
    if (!Encode(root.get(), encoded)) return;
    std::string text(encoded.GetView());
    const int64_t length = static_cast<int64_t>(text.size());
    Send(kPieceStatusEvent, length, 0, std::move(text));
}

bool TPieces::LoadStatus() {
    if (!useSavedStatus_ || !saveStatus_ || !torrent_ || files_.empty() || pieceStatusText_.empty()) return false;
    if (pieceStatusText_.size() > INT_MAX) return false;
    std::unique_ptr<QElement> root = ParseElement(pieceStatusText_.data(), static_cast<int>(pieceStatusText_.size()));
    if (!root || root->GetKind() != kElementDictionary) return false;

    if (const QElement* hash = root->GetValue("infohash");
        hash && hash->GetKind() == kElementLeaf && hash->GetLength() == static_cast<int>(kSha1DigestSize)) {
        if (std::memcmp(hash->GetData(), torrent_->InfoHash().data(), kSha1DigestSize) != 0) return false;
    }

    // Every file must be as it was left; otherwise nothing of the text counts.
    std::vector<std::optional<int32_t>> priorities(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) {
        const TPieceFile& entry = files_[i];
        const QElement* key = FindFileKey(*root, entry.workingPath);
        if (!key) key = FindFileKey(*root, entry.finalPath);
        if (!key && !entry.usesWorkingName) key = FindFileKey(*root, entry.workingPath + workingSuffix_);
        if (!key) return false;
        const auto record = ReadFileRecord(*key);
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

    const QElement* bits = root->GetValue("BitField");
    const size_t bitfieldBytes = progress_.Bits().size();
    if (!bits || bits->GetKind() != kElementLeaf || bits->GetLength() != static_cast<int>(bitfieldBytes)) return false;
    const std::span<const uint8_t> savedBits(reinterpret_cast<const uint8_t*>(bits->GetData()), bitfieldBytes);
    if (HasSpareBits(savedBits, static_cast<uint64_t>(pieceCount_))) return false;
    const QElement* bitsCheck = root->GetValue("BitFieldCheck");
    if (!IsIntegerLeaf(bitsCheck, "BitFieldCheck") ||
        bitsCheck->GetInteger() != BitfieldCheckValue(torrent_->InfoHash(), savedBits.data(), savedBits.size()))
        return false;

    std::vector<RestoredPiece> restored;
    if (const QElement* list = root->GetValue("PieceStatus"); list && list->GetKind() == kElementList) {
        const int count = list->GetCount();
        for (int i = 0; i < count; ++i) {
            const QElement* item = list->GetAt(i);
            if (!item || item->GetKind() != kElementDictionary) continue;
            const QElement* index = item->GetValue("Index");
            const QElement* part = item->GetValue("Part");
            const QElement* status = item->GetValue("Status");
            const QElement* check = item->GetValue("CRC32");
            if (!IsIntegerLeaf(index, "Index") || !IsIntegerLeaf(part, "Part") || !IsIntegerLeaf(check, "CRC32"))
                continue;
            if (!status || status->GetKind() != kElementLeaf ||
                status->GetLength() < static_cast<int>(kSha1StateImageSize))
                continue;
            const int64_t piece = index->GetInteger();
            if (piece < 0 || piece >= pieceCount_) continue;
            if (HasBit(savedBits, piece)) continue;
            const int64_t received = part->GetInteger();
            if (received <= 0 || received >= PieceLengthOf(piece)) continue;
            Sha1StateImage image;
            std::memcpy(image.data(), status->GetData(), image.size());
            if (check->GetInteger() != StateCheckValue(static_cast<int32_t>(piece), image.data())) continue;
            RestoredPiece entry;
            if (!entry.hasher.FromImage(image, static_cast<uint64_t>(received))) continue;
            entry.index = static_cast<int32_t>(piece);
            entry.part = static_cast<int32_t>(received);
            restored.push_back(std::move(entry));
        }
    }

    for (size_t i = 0; i < files_.size(); ++i) {
        if (priorities[i]) files_[i].priority = *priorities[i];
    }
    for (int64_t i = 0; i < pieceCount_; ++i) SetPieceDone(i, HasBit(savedBits, i));
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
    std::unique_ptr<QElement> list = NewList();
    if (!list) return;
    for (const TPieceFile& entry : files_) {
        const bool deselected = entry.IsDeselected();
        list->AppendText(entry.relativeName.data(), static_cast<int>(entry.relativeName.size()), deselected ? 1 : 0,
                         deselected);
    }
    Adopt(*list, NewDictionary());
    QByteBuffer encoded;
    if (!Encode(list.get(), encoded)) return;
    std::string text(encoded.GetView());
    const int64_t length = static_cast<int64_t>(text.size());
    Send(kFileChoicesEvent, length, 0, std::move(text));
}

void TPieces::ApplyFileChoices() {
    std::set<std::string> deselected;
    if (!fileChoiceText_.empty() && fileChoiceText_.size() <= INT_MAX) {
        std::unique_ptr<QElement> list = ParseElement(fileChoiceText_.data(), static_cast<int>(fileChoiceText_.size()));
        if (list && list->GetKind() == kElementList) {
            const int count = list->GetCount();
            for (int i = 0; i < count; ++i) {
                const QElement* item = list->GetAt(i);
                if (item && item->GetKind() == kElementLeaf && item->HasInteger() && item->GetInteger() == 1) {
                    deselected.insert(std::string(item->GetBytes()));
                }
            }
        }
    }
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
