#pragma once
// An HTTP mirror. One GET with an open-ended Range streams the file from the
// first block this connection needs; complete 16 KiB blocks go to the piece
// map as they arrive, and a needed block too far from the stream position
// starts a new request. The same object can fetch a whole resource (the
// task's torrent) into the candidate's memory buffer instead.
#include <cstdint>

#include "peers/QHttpHeader.h"
#include "peers/TPeerObject.h"

namespace veldmoor {

class THttpPeer final : public TPeerObject {
public:
    // A whole-resource fetch larger than this is refused.
    static constexpr size_t kMaxWholeResourceBytes = 16 * 1024 * 1024;
    // Redirects followed in one chain before the chain is cut.
    static constexpr int32_t kMaxRedirectChain = 8;
    static constexpr int32_t kReadSize = 43008;
    // Reads one step may make while data keeps arriving, so that one fast
    // source cannot hold the job's turn for long.
    static constexpr int kMaxReadsPerStep = 256;

    explicit THttpPeer(IPeerJob* job);

    bool Receive() override;
    bool Flush() override;
    bool RequestBlocks() override;
    void Reset() override;
    bool Open(TPeerId* candidate) override;
    bool IsTimedOut() override;
    void ReleaseRange() override;

    bool HeaderComplete() const { return headerComplete_; }
    const QHttpHeader& Header() const { return header_; }
    int64_t StreamPosition() const { return streamPosition_; }
    int32_t RunLength() const { return runLength_; }

private:
    bool IsWholeResourceFetch() const;
    // Connects and queues the GET for the current stream position.
    bool SendRequest();
    // Restarts the request at the first pending block.
    bool RestartRequest();
    // Reads and parses until the header is complete; false on a failure.
    bool ReceiveHeader(bool& complete);
    bool ActOnStatus();
    bool TakeSuccessHeader();
    bool FollowRedirect();
    bool ReceiveWholeResource();
    bool AppendToMemoryBuffer();
    bool ReceiveBlocks();
    // Skips and delivers what the receive buffer holds; false when a delivery failed.
    bool ConsumeBufferedBlocks();
    void CloseAndPostpone(int32_t seconds);

    QHttpHeader header_;
    bool headerComplete_ = false;
    int64_t skipCount_ = 0;
    int64_t streamPosition_ = 0;
    int64_t requestStart_ = 0;  // the position the current request asked for
    int32_t runLength_ = 0;
    bool lengthUnknown_ = false;
};

}  // namespace veldmoor
