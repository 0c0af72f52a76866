#pragma once
// An HTTP mirror. Each GET asks for a bounded Range (about two seconds of
// the source's rate, within its range of the file) from the first block this
// connection needs; complete 16 KiB blocks go to the piece map as they
// arrive. When a body ends the next part is asked on the same connection if
// the server keeps it open; a needed block far from the stream position, or
// a server that closes, takes a new connection. The same object can fetch a
// whole resource (the task's torrent) into the candidate's memory buffer instead.
#include <cstdint>

#include "peers/HttpChunkedBody.h"
#include "peers/QHttpHeader.h"
#include "peers/SourceRateWatch.h"
#include "peers/TPeerObject.h"

namespace veldmoor {

class THttpPeer final : public TPeerObject {
public:
    // Redirects followed in one chain before the chain is cut.
    static constexpr int32_t kMaxRedirectChain = 8;
    // Decoded bytes of a chunked body held ahead of delivery.
    static constexpr size_t kMaxDecodedBytes = 1024 * 1024;

    explicit THttpPeer(IPeerJob* job);

    bool Receive() override;
    bool Flush() override;
    bool RequestBlocks() override;
    void Reset() override;
    bool Open(TPeerId* candidate) override;
    bool IsTimedOut() override;
    void ReleaseRange() override;
    int64_t AskedEnd() const override { return stream_.position < requestEnd_ ? requestEnd_ : 0; }

    bool HeaderComplete() const { return headerComplete_; }
    const QHttpHeader& Header() const { return header_; }

private:
    bool IsWholeResourceFetch() const;
    // Queues the GET for the current stream position, connecting first
    // unless the open connection carries it.
    bool SendRequest(bool onOpenConnection);
    // Asks for `position` on the open connection once the last body ended.
    bool SendFollowingRequest(int64_t position);
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
    // Once the buffered bytes are taken: read on, ask for the next run, or stop.
    NextRead NextStreamRead();
    // Skips and delivers what the receive buffer holds; false when a delivery failed.
    bool ConsumeBufferedBlocks();
    // Moves a chunked body from the receive buffer into decoded_; false when it is malformed.
    bool DecodeChunkedInput();
    // The answer says nothing of the file's size, which no other answer gave.
    bool RefuseUnknownSize();
    // The answer cannot be the file's bytes, nor will any other from this
    // source: it is given up for the run with `reason`; always false.
    bool RefuseSource(const std::string& reason);
    // The answer's body ends before the first block asked for: why, or empty.
    std::string ShortAnswerReason() const;
    // Where a redirect leads this client cannot go: why, or empty.
    static std::string UnusableRedirectReason(const std::string& target);
    // A body the job waits for must keep up the least rate; false when the
    // source fell below it and was postponed or given up.
    bool KeepsUpRate();
    bool DropSlowSource();
    void CloseAndPostpone(int32_t seconds);

    QHttpHeader header_;
    bool headerComplete_ = false;
    StreamCursor stream_;
    int64_t requestStart_ = 0;  // the position the current request asked for
    int64_t requestEnd_ = 0;    // where it asked to end (exclusive); 0 for an open end
    bool asked_ = false;        // a request went out since the last Reset
    int32_t asksOfPosition_ = 0;  // requests in a row that asked for requestStart_
    bool lengthUnknown_ = false;
    // Where the current answer's body ends in the file (exclusive).
    int64_t bodyEnd_ = 0;
    // The server takes another request on this connection after the body.
    bool keepAlive_ = false;
    // The current request went on a connection an earlier answer used.
    bool reusedConnection_ = false;
    // The current request names the file version it may be spliced onto.
    bool askedIfRange_ = false;
    bool chunkedBody_ = false;
    HttpChunkedDecoder chunked_;
    std::string decoded_;  // a chunked body's data, starting at stream_.position
    SourceRateWatch rateWatch_;
};

}  // namespace veldmoor
