#include "torrent/BackgroundPieceWriter.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace veldmoor {
namespace {

// The held bytes that fall into [from, from + length), in order.
std::vector<std::string_view> SlicesOf(const std::map<int32_t, std::string>& bytes, int32_t from, int32_t length) {
    std::vector<std::string_view> slices;
    const int32_t end = from + length;
    auto it = bytes.upper_bound(from);
    if (it != bytes.begin()) --it;
    for (; it != bytes.end() && it->first < end; ++it) {
        const int32_t start = it->first;
        const int32_t stop = start + static_cast<int32_t>(it->second.size());
        const int32_t lo = std::max(start, from);
        const int32_t hi = std::min(stop, end);
        if (lo < hi) slices.emplace_back(it->second.data() + (lo - start), static_cast<size_t>(hi - lo));
    }
    return slices;
}

}  // namespace

int64_t PieceToWrite::Size() const {
    int64_t size = 0;
    for (const auto& [start, data] : bytes) size += static_cast<int64_t>(data.size());
    return size;
}

BackgroundPieceWriter::BackgroundPieceWriter(int64_t queueLimitBytes) : limit_(std::max<int64_t>(queueLimitBytes, 1)) {}

BackgroundPieceWriter::~BackgroundPieceWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    workArrived_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void BackgroundPieceWriter::Submit(PieceToWrite piece) {
    const int64_t size = piece.Size();
    {
        std::unique_lock lock(mutex_);
        workFinished_.wait(lock, [&] { return pendingBytes_ == 0 || pendingBytes_ + size <= limit_; });
        pendingBytes_ += size;
        queue_.push_back(std::move(piece));
        if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
    }
    workArrived_.notify_one();
}

std::vector<WrittenPiece> BackgroundPieceWriter::TakeFinished() {
    std::lock_guard lock(mutex_);
    return std::exchange(finished_, {});
}

void BackgroundPieceWriter::WaitUntilIdle() {
    std::unique_lock lock(mutex_);
    workFinished_.wait(lock, [&] { return pendingBytes_ == 0; });
}

int64_t BackgroundPieceWriter::PendingBytes() const {
    std::lock_guard lock(mutex_);
    return pendingBytes_;
}

void BackgroundPieceWriter::Run() {
    for (;;) {
        PieceToWrite piece;
        {
            std::unique_lock lock(mutex_);
            workArrived_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            piece = std::move(queue_.front());
            queue_.pop_front();
        }
        const int64_t size = piece.Size();
        WrittenPiece outcome = Process(piece);
        // The piece's bytes and file handles go before the queue makes room.
        piece = PieceToWrite{};
        std::scoped_lock lock(mutex_);
        finished_.push_back(std::move(outcome));
        pendingBytes_ -= size;
        workFinished_.notify_all();
    }
}

WrittenPiece BackgroundPieceWriter::Process(PieceToWrite& piece) {
    WrittenPiece outcome;
    outcome.piece = piece.piece;
    if (piece.expected) {
        Sha1Hasher hasher = piece.prefixHash ? *piece.prefixHash : Sha1Hasher();
        for (const auto& [start, data] : piece.bytes) hasher.Update(data);
        outcome.matched = hasher.Digest() == *piece.expected;
        if (!outcome.matched) return outcome;
    }
    for (PieceWriteTarget& target : piece.targets) {
        const std::vector<std::string_view> slices = SlicesOf(piece.bytes, target.pieceOffset, target.length);
        const platform::IoStatus status = target.file.WriteGatherAt(target.fileOffset, slices);
        if (status != platform::IoStatus::Ok) {
            outcome.written = status;
            outcome.bytes = std::move(piece.bytes);
            return outcome;
        }
    }
    return outcome;
}

}  // namespace veldmoor
