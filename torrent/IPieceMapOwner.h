#pragma once
// What a piece map and its torrent need from the job that owns them: where the
// data goes, whether to keep going, and someone to tell about every change.
#include <cstdint>
#include <string>
#include <utility>

namespace veldmoor {

class BlockSender;

enum PieceMapEventType : int32_t {
    kPieceVerifiedEvent = 1,   // value 1 verified / 0 un-verified, data = piece index
    kSizesChangedEvent = 2,    // re-read the counters
    kPublishEvent = 3,         // value = flush flag
    kPieceCountEvent = 100,    // data = piece count
    kFileChoicesEvent = 1000,  // text = the new "part" text (empty: drop it)
    kPieceStatusEvent = 1001,  // text = the new "bits" text (empty: drop it)
    kDiskFullEvent = 1002,
    kDiskRoomEvent = 1003,
    kFileUnwritableEvent = 1004,
};

inline constexpr int32_t kPieceEventSubType = 4;

struct PieceMapEvent {
    int32_t type = 0;
    int64_t value = 0;
    int32_t subType = 0;
    int64_t data = 0;
    std::string text;  // the bytes of a 1000/1001 event; value holds their length
};

class IPieceMapOwner {
public:
    virtual ~IPieceMapOwner() = default;

    virtual void OnPieceMapEvent(const PieceMapEvent& event) = 0;
    // Checked between steps of every long operation (checks, disk-full waits).
    virtual bool IsStopping() const = 0;

    // The job's target file ("" when it has none) and its download folder.
    virtual std::string PieceMapTargetFile() const = 0;
    virtual std::string PieceMapFolder() const = 0;
    // Grow files to their full length at once instead of step by step.
    virtual bool PreallocateFiles() const = 0;
    // True once the job has taken a piece map as ready.
    virtual bool HasReadyPieceMap() const = 0;

    // For the torrent's loading.
    virtual void SetRunState(int32_t runState) = 0;
    virtual void SetStatusCode(int32_t statusCode) = 0;
    virtual void RequestStop() = 0;

    // A completed piece passed (true) or failed (false) its SHA-1 check;
    // `sender` sent its last block and is null for data restored from disk.
    virtual void OnPieceChecked(BlockSender* sender, bool matched) = 0;
    // Piece `piece` failed its check; told before OnPieceChecked(sender, false).
    virtual void OnCorruptPiece(BlockSender* /*sender*/, int32_t /*piece*/) {}
    // A verified piece reached the disk: one delivery for `sender` (may be null).
    virtual void CountPieceDelivery(BlockSender* sender) = 0;
};

// An owner with no job behind it (a tool, a check, a map nobody owns):
// events go nowhere, nothing asks the map to stop, and its files live in
// `folder` (one target file when `target` is set). Derive to watch events.
class DetachedPieceMapOwner : public IPieceMapOwner {
public:
    explicit DetachedPieceMapOwner(std::string folder = {}, std::string target = {})
        : folder_(std::move(folder)), target_(std::move(target)) {}

    void OnPieceMapEvent(const PieceMapEvent&) override {}
    bool IsStopping() const override { return false; }
    std::string PieceMapTargetFile() const override { return target_; }
    std::string PieceMapFolder() const override { return folder_; }
    bool PreallocateFiles() const override { return false; }
    bool HasReadyPieceMap() const override { return false; }
    void SetRunState(int32_t) override {}
    void SetStatusCode(int32_t) override {}
    void RequestStop() override {}
    void OnPieceChecked(BlockSender*, bool) override {}
    void CountPieceDelivery(BlockSender*) override {}

private:
    std::string folder_;
    std::string target_;
};

}  // namespace veldmoor
