#include "torrent/PieceStatusText.h"

#include <zlib.h>

#include <climits>
#include <cstring>

#include "torrent/Bencode.h"
#include "torrent/Bitfield.h"
#include "torrent/QByteBuffer.h"
#include "torrent/QElement.h"

namespace veldmoor {
namespace {

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

void AppendBytes(QElement& container, const void* bytes, size_t length) {
    container.AppendText(static_cast<const char*>(bytes), static_cast<int>(length));
}

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

std::string Encoded(const QElement& root) {
    QByteBuffer encoded;
    if (!Encode(&root, encoded)) return {};
    return std::string(encoded.GetView());
}

}  // namespace

std::string EncodePieceStatus(const PieceStatus& status) {
    std::unique_ptr<QElement> root = NewDictionary();
    if (!root) return {};
    if (status.infoHash) {
        root->AppendText("infohash", -1);
        AppendBytes(*root, status.infoHash->data(), status.infoHash->size());
    }
    for (const StatusFile& file : status.files) {
        AppendBytes(*root, file.path.data(), file.path.size());
        AppendInteger(*root, "Low", static_cast<int64_t>(file.time & 0xFFFFFFFF));
        AppendInteger(*root, "High", static_cast<int64_t>(file.time >> 32));
        AppendInteger(*root, "Size", file.size);
        AppendInteger(*root, "Priority", file.priority);
    }
    if (!status.files.empty()) {
        std::unique_ptr<QElement> list = NewList();
        for (const StatusPiece& piece : status.partialPieces) {
            std::unique_ptr<QElement> entry = NewDictionary();
            AppendInteger(*entry, "Index", piece.index);
            AppendInteger(*entry, "Part", piece.part);
            entry->AppendText("Status", -1);
            AppendBytes(*entry, piece.image.data(), piece.image.size());
            AppendInteger(*entry, "CRC32", StateCheckValue(piece.index, piece.image.data()));
            Adopt(*list, std::move(entry));
        }
        root->AppendText("PieceStatus", -1);
        Adopt(*root, std::move(list));
    }
    root->AppendText("BitField", -1);
    AppendBytes(*root, status.bits.data(), status.bits.size());
    AppendInteger(*root, "BitFieldCheck",
                  BitfieldCheckValue(status.infoHash.value_or(Sha1Digest{}), status.bits.data(), status.bits.size()));
    return Encoded(*root);
}

SavedPieceStatus::SavedPieceStatus(std::unique_ptr<QElement> root) : root_(std::move(root)) {}
SavedPieceStatus::SavedPieceStatus(SavedPieceStatus&&) noexcept = default;
SavedPieceStatus& SavedPieceStatus::operator=(SavedPieceStatus&&) noexcept = default;
SavedPieceStatus::~SavedPieceStatus() = default;

std::optional<SavedPieceStatus> SavedPieceStatus::Parse(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return std::nullopt;
    std::unique_ptr<QElement> root = ParseElement(text.data(), static_cast<int>(text.size()));
    if (!root || root->GetKind() != kElementDictionary) return std::nullopt;
    return SavedPieceStatus(std::move(root));
}

std::optional<Sha1Digest> SavedPieceStatus::InfoHash() const {
    const QElement* hash = root_->GetValue("infohash");
    if (!hash || hash->GetKind() != kElementLeaf || hash->GetLength() != static_cast<int>(kSha1DigestSize))
        return std::nullopt;
    Sha1Digest digest;
    std::memcpy(digest.data(), hash->GetData(), digest.size());
    return digest;
}

bool SavedPieceStatus::ListsFile(const std::string& path) const { return FindFileKey(*root_, path) != nullptr; }

std::optional<SavedPieceStatus::FileRecord> SavedPieceStatus::File(const std::string& path) const {
    const QElement* key = FindFileKey(*root_, path);
    if (!key) return std::nullopt;
    const QElement* low = key->NextSibling();
    const QElement* high = low ? low->NextSibling() : nullptr;
    const QElement* size = high ? high->NextSibling() : nullptr;
    if (!IsIntegerLeaf(low, "Low") || !IsIntegerLeaf(high, "High") || !IsIntegerLeaf(size, "Size")) return std::nullopt;
    FileRecord record;
    record.time = (static_cast<uint64_t>(high->GetInteger() & 0xFFFFFFFF) << 32) |
                  static_cast<uint64_t>(low->GetInteger() & 0xFFFFFFFF);
    record.size = size->GetInteger();
    const QElement* priority = size->NextSibling();
    if (IsIntegerLeaf(priority, "Priority") && priority->GetInteger() >= -2 && priority->GetInteger() <= 2) {
        record.priority = static_cast<int32_t>(priority->GetInteger());
    }
    return record;
}

std::optional<std::vector<uint8_t>> SavedPieceStatus::Bits(size_t bytes, uint64_t pieceCount,
                                                           const Sha1Digest& infoHash) const {
    const QElement* bits = root_->GetValue("BitField");
    if (!bits || bits->GetKind() != kElementLeaf || bits->GetLength() != static_cast<int>(bytes)) return std::nullopt;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bits->GetData());
    std::vector<uint8_t> saved(data, data + bytes);
    if (HasSpareBits(saved, pieceCount)) return std::nullopt;
    const QElement* check = root_->GetValue("BitFieldCheck");
    if (!IsIntegerLeaf(check, "BitFieldCheck") ||
        check->GetInteger() != BitfieldCheckValue(infoHash, saved.data(), saved.size()))
        return std::nullopt;
    return saved;
}

std::vector<StatusPiece> SavedPieceStatus::PartialPieces(int64_t pieceCount, std::span<const uint8_t> bits) const {
    std::vector<StatusPiece> pieces;
    const QElement* list = root_->GetValue("PieceStatus");
    if (!list || list->GetKind() != kElementList) return pieces;
    const int count = list->GetCount();
    for (int i = 0; i < count; ++i) {
        const QElement* item = list->GetAt(i);
        if (!item || item->GetKind() != kElementDictionary) continue;
        const QElement* index = item->GetValue("Index");
        const QElement* part = item->GetValue("Part");
        const QElement* status = item->GetValue("Status");
        const QElement* check = item->GetValue("CRC32");
        if (!IsIntegerLeaf(index, "Index") || !IsIntegerLeaf(part, "Part") || !IsIntegerLeaf(check, "CRC32")) continue;
        if (!status || status->GetKind() != kElementLeaf || status->GetLength() < static_cast<int>(kSha1StateImageSize))
            continue;
        const int64_t piece = index->GetInteger();
        if (piece < 0 || piece >= pieceCount || HasBit(bits, piece)) continue;
        const int64_t received = part->GetInteger();
        if (received <= 0 || received > INT32_MAX) continue;
        StatusPiece entry;
        std::memcpy(entry.image.data(), status->GetData(), entry.image.size());
        if (check->GetInteger() != StateCheckValue(static_cast<int32_t>(piece), entry.image.data())) continue;
        entry.index = static_cast<int32_t>(piece);
        entry.part = static_cast<int32_t>(received);
        pieces.push_back(entry);
    }
    return pieces;
}

std::string EncodeFileChoices(const std::vector<FileChoice>& files) {
    std::unique_ptr<QElement> list = NewList();
    if (!list) return {};
    for (const FileChoice& file : files) {
        list->AppendText(file.relativeName.data(), static_cast<int>(file.relativeName.size()), file.deselected ? 1 : 0,
                         file.deselected);
    }
    Adopt(*list, NewDictionary());
    return Encoded(*list);
}

std::set<std::string> DeselectedFiles(std::string_view text) {
    std::set<std::string> deselected;
    if (text.empty() || text.size() > INT_MAX) return deselected;
    std::unique_ptr<QElement> list = ParseElement(text.data(), static_cast<int>(text.size()));
    if (!list || list->GetKind() != kElementList) return deselected;
    const int count = list->GetCount();
    for (int i = 0; i < count; ++i) {
        const QElement* item = list->GetAt(i);
        if (item && item->GetKind() == kElementLeaf && item->HasInteger() && item->GetInteger() == 1) {
            deselected.insert(std::string(item->GetBytes()));
        }
    }
    return deselected;
}

}  // namespace veldmoor
