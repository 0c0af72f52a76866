#include "torrent/PartialPieceJournal.h"

#include <zlib.h>

#include <algorithm>

#include "foundation/EngineLocks.h"
#include "platform/File.h"
#include "platform/FileRename.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kBlockEntrySize = 16400;  // offset, length, 16384 bytes, 8 zero bytes
constexpr uint32_t kMaxBlocksPerRecord = 512;
constexpr size_t kWriteBufferSize = 1179648;
constexpr size_t kWriteBufferFlush = 1048575;
constexpr size_t kDirectRecordSize = 1048576;
constexpr int64_t kRecordSlack = 1048576;

void PutWord(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t GetWord(const char* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(in[i])} << (8 * i);
    return value;
}

// Adler-32 of the body, started from the Adler-32 of the info hash that was
// itself started from the piece index.
uint32_t CheckValue(const Sha1Digest& infoHash, int32_t piece, std::string_view body) {
    const uLong start = adler32_z(static_cast<uLong>(piece), infoHash.data(), infoHash.size());
    return static_cast<uint32_t>(
        adler32_z(start, reinterpret_cast<const Bytef*>(body.data()), static_cast<z_size_t>(body.size())));
}

// Sequential writes to the journal under the engine's disk lock.
class JournalWriter {
public:
    explicit JournalWriter(platform::File& file) : file_(file) {}
    bool Write(std::string_view bytes) {
        ScopedLock guard(DiskLock());
        if (file_.WriteAt(position_, bytes.data(), static_cast<int64_t>(bytes.size())) != platform::IoStatus::Ok)
            return false;
        position_ += static_cast<int64_t>(bytes.size());
        return true;
    }

private:
    platform::File& file_;
    int64_t position_ = 0;
};

// The body of `piece`'s record: every whole 16 KiB slot at or beyond its
// hashed prefix that it holds. The content's last slot may be short; it is
// padded with zeros to the full slot. Empty when no slot qualifies.
std::string RecordBody(const TPiece& piece) {
    std::string entries;
    uint32_t blocks = 0;
    uint32_t bytesHeld = 0;
    const int32_t firstSlot = (piece.received + kBlockSize - 1) / kBlockSize;
    for (int32_t slot = firstSlot; slot * kBlockSize < piece.length && blocks < kMaxBlocksPerRecord; ++slot) {
        const int32_t offset = slot * kBlockSize;
        const int32_t size = std::min(kBlockSize, piece.length - offset);
        if (!piece.held.Covers(offset, offset + size)) continue;
        std::string data(kBlockSize, '\0');
        piece.held.Read(offset, size, data.data());
        PutWord(entries, static_cast<uint32_t>(offset));
        PutWord(entries, kBlockSize);
        entries += data;
        entries.append(8, '\0');
        ++blocks;
        bytesHeld += static_cast<uint32_t>(size);
    }
    if (blocks == 0) return {};
    std::string body;
    body.reserve(kHeaderSize + entries.size());
    PutWord(body, bytesHeld);
    PutWord(body, static_cast<uint32_t>(piece.received));
    PutWord(body, blocks);
    PutWord(body, 0);
    body += entries;
    return body;
}

}  // namespace

void PartialPieceJournal::Delete() const {
    if (Enabled()) platform::DeleteFileAt(path_);
}

bool PartialPieceJournal::Save(const Sha1Digest& infoHash, const std::vector<TPiece>& pieces,
                               const std::function<bool(int64_t piece)>& verified) const {
    if (!Enabled()) return true;
    // Written beside the journal and moved into place, so that a crash
    // mid-write leaves the previous journal whole.
    const std::string temporary = path_ + ".tmp";
    platform::File out;
    if (!out.Open(temporary, platform::File::Mode::ReadWrite) || out.SetSize(0) != platform::IoStatus::Ok) return false;
    JournalWriter writer(out);
    std::string buffer;
    buffer.reserve(kWriteBufferSize);
    bool ok = true;
    int records = 0;
    for (const TPiece& piece : pieces) {
        if (piece.held.Empty() || verified(piece.index)) continue;
        const std::string body = RecordBody(piece);
        if (body.empty()) continue;
        std::string record;
        PutWord(record, static_cast<uint32_t>(body.size()));
        PutWord(record, CheckValue(infoHash, piece.index, body));
        PutWord(record, static_cast<uint32_t>(piece.index));
        PutWord(record, 0);
        record += body;
        ++records;
        if (body.size() >= kDirectRecordSize) {
            ok = (buffer.empty() || writer.Write(buffer)) && writer.Write(record);
            buffer.clear();
        } else {
            buffer += record;
            if (buffer.size() > kWriteBufferFlush) {
                ok = writer.Write(buffer);
                buffer.clear();
            }
        }
        if (!ok) break;
    }
    if (ok && !buffer.empty()) ok = writer.Write(buffer);
    out.Close();
    if (!ok || records == 0) {
        platform::DeleteFileAt(temporary);
        if (ok) platform::DeleteFileAt(path_);
        return ok;
    }
    return platform::RenameReplacing(temporary, path_);
}

void PartialPieceJournal::Load(const Sha1Digest& infoHash, int32_t pieceLength,
                               const std::function<bool(int64_t piece)>& validPiece,
                               const std::function<bool(int32_t piece, std::string_view body)>& take) const {
    if (!Enabled()) return;
    platform::File in;
    if (!in.Open(path_, platform::File::Mode::Read)) return;
    int64_t position = 0;
    for (;;) {
        char header[kHeaderSize];
        int64_t got;
        {
            ScopedLock guard(DiskLock());
            got = in.ReadAt(position, header, kHeaderSize);
        }
        if (got != static_cast<int64_t>(kHeaderSize)) return;
        const int64_t length = GetWord(header);
        const uint32_t check = GetWord(header + 4);
        const int64_t index = GetWord(header + 8);
        if (length < 1 || length >= int64_t{pieceLength} + kRecordSlack || !validPiece(index)) return;
        std::string body(static_cast<size_t>(length), '\0');
        {
            ScopedLock guard(DiskLock());
            got = in.ReadAt(position + static_cast<int64_t>(kHeaderSize), body.data(), length);
        }
        if (got != length || CheckValue(infoHash, static_cast<int32_t>(index), body) != check) return;
        position += static_cast<int64_t>(kHeaderSize) + length;
        if (!take(static_cast<int32_t>(index), body)) return;
    }
}

std::optional<JournalRecord> ParseJournalBody(std::string_view body, int32_t pieceLength) {
    if (body.size() < kHeaderSize) return std::nullopt;
    const uint32_t bytesHeld = GetWord(body.data());
    const uint32_t prefix = GetWord(body.data() + 4);
    const uint32_t blocks = GetWord(body.data() + 8);
    if (blocks < 1 || blocks > kMaxBlocksPerRecord || body.size() != kHeaderSize + blocks * kBlockEntrySize)
        return std::nullopt;

    JournalRecord record;
    record.prefix = static_cast<int32_t>(prefix);
    int64_t restoredBytes = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        const char* entry = body.data() + kHeaderSize + i * kBlockEntrySize;
        const uint32_t offset = GetWord(entry);
        const uint32_t length = GetWord(entry + 4);
        if (length != kBlockSize || offset % kBlockSize != 0 || offset < prefix ||
            offset >= static_cast<uint32_t>(pieceLength))
            return std::nullopt;
        const int32_t start = static_cast<int32_t>(offset);
        const int32_t size = std::min(kBlockSize, pieceLength - start);  // the padding is dropped
        if (record.blocks.Add(start, entry + 8, size) != size) return std::nullopt;  // the same slot twice
        restoredBytes += size;
    }
    if (restoredBytes < bytesHeld) return std::nullopt;
    return record;
}

}  // namespace veldmoor
