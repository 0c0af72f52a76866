// Maps known only by their size: a ".vminfo" text ("$Hash$...$End$") and a
// download whose size a server reported. Their pieces carry no hashes.
#include <charconv>
#include <climits>
#include <optional>

#include "foundation/ClockThread.h"
#include "platform/Files.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

constexpr int32_t kInfoTextWriteWindow = 128;

std::optional<int64_t> DecimalAfter(std::string_view text, size_t position) {
    const char* begin = text.data() + position;
    const char* end = text.data() + text.size();
    int64_t value = 0;
    const auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr == begin) return std::nullopt;
    return value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<Sha1Digest> DecodeHexHash(std::string_view text) {
    if (text.size() < 2 * kSha1DigestSize) return std::nullopt;
    Sha1Digest hash{};
    for (size_t i = 0; i < kSha1DigestSize; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        hash[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return hash;
}

}  // namespace

void TPieces::FillSingleFileMap(int64_t totalLength, int32_t pieceLength, const std::string& path) {
    Clear();
    folder_ = job_->PieceMapFolder();
    if (!folder_.empty() && folder_.back() != '/') folder_.push_back('/');
    name_ = platform::FileNameOf(path);
    totalLength_ = totalLength;
    pieceLength_ = pieceLength;
    pieceCount_ = (totalLength + pieceLength - 1) / pieceLength;
    progress_.StartFresh(pieceCount_, pieceLength_, totalLength_);
    progress_.SetReceivedBytes(totalLength);
    creationTime_ = changeTime_ = ClockSeconds();

    TPieceFile entry;
    entry.workingPath = path;
    entry.relativeName = name_;
    entry.length = totalLength;
    entry.pieceSpan = PieceSpan(0, totalLength, pieceLength);
    ChooseWorkingPath(entry, nullptr);
    files_.push_back(std::move(entry));
}

bool TPieces::ReadInfoText(std::string_view text) {
    const size_t hashAt = text.find("$Hash$");
    const size_t sizeAt = text.find("$Size$");
    const size_t lengthAt = text.find("$Length$");
    const size_t trackerAt = text.find("$Tracker$");
    const size_t endAt = text.find("$End$");
    if (hashAt == std::string_view::npos || sizeAt == std::string_view::npos || lengthAt == std::string_view::npos ||
        trackerAt == std::string_view::npos || endAt == std::string_view::npos)
        return false;

    const auto hash = DecodeHexHash(text.substr(hashAt + 6));
    // The size may pass 2 GiB: read it as 64-bit.
    const auto total = DecimalAfter(text, sizeAt + 6);
    const auto pieceLength = DecimalAfter(text, lengthAt + 8);
    if (!hash || !total || *total <= 0 || !pieceLength || *pieceLength <= 0 || *pieceLength > INT32_MAX) return false;
    if ((*total - 1) / *pieceLength + 1 > kMaxPieceCount) return false;

    std::string tracker;
    const size_t trackerStart = trackerAt + 9;
    if (endAt > trackerStart) tracker = std::string(text.substr(trackerStart, endAt - trackerStart));
    if (const size_t marker = tracker.find("$$$"); marker != std::string::npos) tracker.replace(marker, 3, "://");

    if (torrent_) {
        torrent_->SetInfoHash(*hash);
        torrent_->AddTracker(tracker);
    }
    // The text names no file: the job's target, or the hash in the job's folder.
    std::string path = job_->PieceMapTargetFile();
    if (path.empty()) path = platform::JoinPath(job_->PieceMapFolder(), HexText(hash->data(), hash->size()));
    FillSingleFileMap(*total, static_cast<int32_t>(*pieceLength), path);
    window_.SetUnits(kInfoTextWriteWindow);
    saveStatus_ = true;
    useSavedStatus_ = true;
    Finish(nullptr);
    return true;
}

bool TPieces::BuildWithoutHashes(int64_t totalLength, int32_t pieceLength) {
    const std::string target = job_->PieceMapTargetFile();
    if (target.empty() || totalLength <= 0 || pieceLength <= 0) return false;
    if ((totalLength - 1) / pieceLength + 1 > kMaxPieceCount) return false;
    FillSingleFileMap(totalLength, pieceLength, target);
    if (Finish(nullptr)) return true;
    Clear();
    return false;
}

}  // namespace veldmoor
