#pragma once
// An FTP mirror. A control session logs in, switches to binary mode and
// learns the file size; each transfer then opens a passive data connection
// and retrieves the file from the first needed block with REST and RETR.
// Complete 16 KiB blocks go to the piece map as they arrive; a needed block
// too far from the stream position ends the transfer and starts another at
// that block. The same object can fetch a whole resource (the task's
// torrent) into the candidate's memory buffer instead.
#include <cstdint>
#include <memory>
#include <string>

#include "peers/FtpProtocol.h"
#include "peers/TPeerObject.h"

namespace veldmoor {

class TFtpPeer final : public TPeerObject {
public:
    // Where the step's command stands.
    enum SubState : int32_t {
        kSubStateSend = 0,      // to be queued
        kSubStateFlushing = 1,  // queued, not all sent yet
        kSubStateAwaiting = 2,  // its reply is awaited
    };

    // The farthest the data stream is read on and thrown away to reach a
    // needed block (5 blocks); farther, or behind, starts a new transfer.
    static constexpr int64_t kMaxStreamSkip = 81920;

    explicit TFtpPeer(IPeerJob* job);

    bool Receive() override;
    bool Flush() override;
    bool RequestBlocks() override;
    void Reset() override;
    bool Open(TPeerId* candidate) override;
    bool IsTimedOut() override;
    void ReleaseRange() override;

    int32_t Step() const { return step_; }
    int32_t CommandState() const { return subState_; }
    // A 4xx or a 5xx reply came on this session.
    bool HadTransientReply() const { return transientReply_; }
    bool HadPermanentReply() const { return permanentReply_; }
    const QSocket* DataConnection() const { return data_.get(); }

    // During a transfer the data arrives on the data connection.
    const QSocket* InputConnection() const override { return data_ && data_->IsOpen() ? data_.get() : Connection(); }

protected:
    uint64_t OtherBytesSent() const override { return data_ ? data_->TotalSent() : 0; }
    uint64_t OtherBytesReceived() const override { return data_ ? data_->TotalReceived() : 0; }

private:
    bool IsWholeResourceFetch() const;
    void ClearSession();
    void CloseData();
    // Ends the current transfer and awaits the server's end reply; the next
    // PASV and REST start at the first pending block.
    void EndTransfer(bool aborted);

    // Parses a complete reply off the control connection, reading when
    // nothing complete is buffered; false when the session cannot go on.
    bool ReadReply(FtpReply& reply);
    bool ActOnReply(const FtpReply& reply);
    bool TakeFileSize(const FtpReply& reply);
    bool OpenDataConnection(const FtpReply& reply);
    // Switches the session to EPSV and asks again; false when it already used it.
    bool AskExtendedPassive();
    bool QueueCommand(const std::string& line);
    bool QueueStepCommand();
    // Takes blocks when none are pending and, during a transfer, decides
    // whether the stream reaches them.
    bool PlanRun();

    bool Transfer();
    bool ReceiveBlocks();
    // Once the buffered bytes are taken: read on, plan the next run, or stop.
    NextRead NextStreamRead();
    // The server ended the data stream (or it broke).
    bool DataEnded();
    // Skips and delivers what the data connection holds; false when a delivery failed.
    bool ConsumeBufferedBlocks();
    bool ReceiveWholeResource();
    bool AppendToMemoryBuffer();
    bool WholeResourceReached() const;
    bool FinishWholeResource();

    std::unique_ptr<QSocket> data_;
    int32_t step_ = kFtpStepGreeting;
    int32_t subState_ = kSubStateAwaiting;
    bool transientReply_ = false;
    bool permanentReply_ = false;
    // The session asks for EPSV instead of PASV: the control connection is
    // IPv6, or PASV was refused or named no usable port.
    bool extendedPassive_ = false;
    // The data connection was closed before the server ended the transfer,
    // so a 426 is the answer to that, not the server's trouble.
    bool abortedTransfer_ = false;
    StreamCursor stream_;
    int32_t transferBlocks_ = 0;  // blocks the current transfer delivered
};

}  // namespace veldmoor
