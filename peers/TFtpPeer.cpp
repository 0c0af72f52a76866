#include "peers/TFtpPeer.h"

#include <algorithm>
#include <optional>

#include "foundation/ClockThread.h"
#include "peers/HttpStreamRules.h"
#include "peers/IPeerJob.h"
#include "peers/SourceAddress.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int32_t kTimeoutPostponeSeconds = 15;
constexpr int32_t kPermanentReplyPostponeSeconds = 60;
constexpr int32_t kSizeMismatchPostponeSeconds = 60;
constexpr int64_t kTransferSilenceSeconds = 15;
constexpr int64_t kCommandSilenceSeconds = 30;
// Below this rate (bytes per second, and above 0) a source is slow, not
// stalled, and gets twice the time.
constexpr int32_t kSlowRateLimit = 2048;
// A 4xx reply lowers the candidate's parallel limit, but never below this.
constexpr int32_t kLowestParallelLimit = 2;
constexpr int32_t kLoginRefused = 530;
constexpr int32_t kTransferAborted = 426;

// The step after a reply, or nothing when the reply does not advance it.
std::optional<int32_t> NextStep(int32_t step, int32_t code) {
    // A server may log a user in without asking for a password.
    if (step == kFtpStepUser && code == 230) return kFtpStepCwd;
    const std::optional<int32_t> next = FtpNextStep(step, code);
    if (!next) return next;
    // Binary mode comes before SIZE: the size a server states depends on the
    // transfer type, and some servers refuse SIZE in ASCII mode altogether.
    switch (step) {
        case kFtpStepCwd: return kFtpStepType;
        case kFtpStepType: return kFtpStepSize;
        case kFtpStepSize: return kFtpStepPasv;
        default: return next;
    }
}

}  // namespace

TFtpPeer::TFtpPeer(IPeerJob* job) : TPeerObject(kPeerFtp, job) {}

bool TFtpPeer::IsWholeResourceFetch() const {
    const TPeerId* candidate = Candidate();
    return candidate && candidate->HasDetails() && candidate->details->torrentFetch;
}

void TFtpPeer::CloseData() {
    // The object stays: a step may still hold a reference to it.
    if (data_) data_->Close();
}

void TFtpPeer::ClearSession() {
    CloseData();
    step_ = kFtpStepGreeting;
    subState_ = kSubStateAwaiting;
    transientReply_ = false;
    permanentReply_ = false;
    extendedPassive_ = false;
    abortedTransfer_ = false;
    stream_ = StreamCursor{};
    transferBlocks_ = 0;
}

bool TFtpPeer::Open(TPeerId* candidate) {
    if (!TPeerObject::Open(candidate)) return false;
    ClearSession();
    if (!Connection()->ConnectAny(ConnectAddresses(*candidate), candidate->port, false)) return false;
    SetPhase(kPhaseConnecting);
    Statistics().incoming = false;
    return IsConnected();
}

void TFtpPeer::EndTransfer(bool aborted) {
    abortedTransfer_ = aborted && data_ && data_->IsOpen();
    CloseData();
    step_ = kFtpStepEndOfTransfer;
    subState_ = kSubStateAwaiting;
    stream_ = StreamCursor{};
}

bool TFtpPeer::Receive() {
    if (!IsConnected()) return false;
    if (subState_ != kSubStateAwaiting) return true;
    if (IsTimedOut()) {
        JobSources()->SourceFailed(Candidate(), true, kTimeoutPostponeSeconds);
        return false;
    }
    if (step_ == kFtpStepTransfer) return Transfer();

    QSocket& control = *Connection();
    // The connect completes in the background; a refused one closes the socket.
    if (!control.IsConnected()) return control.IsOpen();
    FtpReply reply;
    if (!ReadReply(reply)) return false;
    if (reply.status != FtpReplyStatus::kComplete) return true;
    if (!ActOnReply(reply)) return false;
    // The reply to RETR opens the transfer: its data may be there already.
    return step_ == kFtpStepTransfer ? Transfer() : true;
}

bool TFtpPeer::ReadReply(FtpReply& reply) {
    QSocket& control = *Connection();
    const auto buffered = [&control] {
        return ReadFtpReply(
            std::string_view(reinterpret_cast<const char*>(control.InputData()), control.InputSize()));
    };
    // A reply already buffered is taken first: the read that meets the end of
    // the stream would drop it.
    reply = buffered();
    if (reply.status == FtpReplyStatus::kIncomplete) {
        if (control.Receive(kReadSize) < 0) return false;
        reply = buffered();
    }
    if (reply.status == FtpReplyStatus::kMalformed || reply.status == FtpReplyStatus::kTooLong) {
        control.Close();
        return false;
    }
    // Bytes after the reply belong to the next one (a short transfer's 150 and 226 may come together).
    if (reply.status == FtpReplyStatus::kComplete) control.ConsumeInput(static_cast<long>(reply.bytesUsed), true);
    return true;
}

bool TFtpPeer::ActOnReply(const FtpReply& reply) {
    TPeerId& candidate = *Candidate();
    // A server may refuse PASV (on IPv6 it cannot work): it gets one chance with EPSV.
    if (step_ == kFtpStepPasv && reply.code >= 400 && reply.code != 421 && !extendedPassive_)
        return AskExtendedPassive();
    switch (ClassifyFtpReply(reply.code)) {
        case FtpReplyClass::kTransient:
            transientReply_ = true;
            // The 426 that answers our own closing of the data connection says
            // nothing about the server's load.
            if (!(step_ == kFtpStepEndOfTransfer && abortedTransfer_ && reply.code == kTransferAborted) &&
                candidate.parallelLimit > kLowestParallelLimit)
                --candidate.parallelLimit;
            break;
        case FtpReplyClass::kPermanent:
            permanentReply_ = true;
            JobSources()->SourceFailed(&candidate, true, kPermanentReplyPostponeSeconds);
            break;
        default: break;
    }
    Statistics().lastActivity = ClockNow();

    const std::optional<int32_t> next = NextStep(step_, reply.code);
    if (!next) {
        // Refused credentials stay refused: asking again cannot help.
        if (reply.code == kLoginRefused && (step_ == kFtpStepUser || step_ == kFtpStepPass))
            JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
        return false;
    }
    switch (step_) {
        case kFtpStepGreeting: SetPhase(kPhaseEstablished); break;
        case kFtpStepSize:
            if (!TakeFileSize(reply)) return false;
            break;
        case kFtpStepPasv: return OpenDataConnection(reply);
        case kFtpStepRest:
            step_ = kFtpStepRetr;
            return QueueCommand(FtpRetrCommand(candidate.Details().path));
        case kFtpStepRetr:
            step_ = kFtpStepTransfer;
            subState_ = kSubStateAwaiting;
            SetActivity(kActivityReceiving);
            return true;
        case kFtpStepEndOfTransfer: abortedTransfer_ = false; break;
        default: break;
    }
    step_ = *next;
    subState_ = kSubStateSend;
    return true;
}

bool TFtpPeer::TakeFileSize(const FtpReply& reply) {
    const std::optional<int64_t> size = ParseFtpSizeReply(reply.code, reply.text);
    if (!size || *size <= 0) return false;
    TPeerDetails& details = Candidate()->Details();
    if (IsWholeResourceFetch()) {
        if (*size > static_cast<int64_t>(kMaxWholeResourceBytes)) {
            Connection()->Close();
            JobSources()->SourceFailed(Candidate(), false, kDropDelaySeconds);
            return false;
        }
        details.fileSize = *size;
        return true;
    }
    const bool learnt = details.fileSize <= 0;
    details.fileSize = *size;
    if (learnt) JobSources()->OnSourceFileSize(*size);
    return true;
}

bool TFtpPeer::AskExtendedPassive() {
    if (extendedPassive_) return false;
    extendedPassive_ = true;
    step_ = kFtpStepPasv;
    return QueueCommand(FtpEpsvCommand());
}

bool TFtpPeer::OpenDataConnection(const FtpReply& reply) {
    std::optional<int32_t> port;
    if (reply.code == 229) {
        port = ParseFtpExtendedPassiveReply(reply.text);
    } else if (const std::optional<FtpPassiveAddress> passive = ParseFtpPassiveReply(reply.text)) {
        port = passive->port;
    }
    if (!port) return AskExtendedPassive();
    const bool whole = IsWholeResourceFetch();
    if (!whole && PendingRequests().empty()) {
        // The blocks went elsewhere meanwhile: ask again once there are some.
        step_ = kFtpStepPasv;
        subState_ = kSubStateSend;
        return true;
    }
    if (!data_) data_ = std::make_unique<QSocket>();
    // Only the port is taken from the reply. The data connection goes to the
    // server this session is logged in to, never to the address the reply
    // names: a hostile server could otherwise aim our connection at a third
    // host (FTP bounce). Like the control connection it goes through the
    // process default proxy.
    if (!data_->Connect(Connection()->RemoteAddress(), *port, false)) return false;

    stream_.position = whole ? static_cast<int64_t>(Candidate()->Details().memoryBuffer.size())
                            : int64_t{PendingRequests().front().block} * kBlockSize;
    stream_.skip = 0;
    stream_.runLength = whole ? 0 : LeadingRunLength(PendingRequests());
    transferBlocks_ = 0;
    abortedTransfer_ = false;
    step_ = kFtpStepRest;
    return QueueCommand(FtpRestCommand(stream_.position));
}

bool TFtpPeer::QueueCommand(const std::string& line) {
    if (line.empty()) return false;
    if (Connection()->Send(reinterpret_cast<const uint8_t*>(line.data()), static_cast<int>(line.size())) < 0)
        return false;
    subState_ = kSubStateFlushing;
    // The reply's time limit runs from the command, not from a session that
    // may have waited idle for blocks before it.
    Statistics().lastActivity = ClockNow();
    return true;
}

bool TFtpPeer::QueueStepCommand() {
    TPeerId& candidate = *Candidate();
    const TPeerDetails& details = candidate.Details();
    std::optional<FtpPathParts> parts;
    if (step_ == kFtpStepCwd || step_ == kFtpStepSize) {
        parts = SplitFtpPath(details.path);
        if (!parts) {
            // An address without a file name never serves anything.
            JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
            return false;
        }
    }
    switch (step_) {
        case kFtpStepUser: return QueueCommand(FtpUserCommand(details.userName));
        case kFtpStepPass: return QueueCommand(FtpPassCommand(details.password));
        case kFtpStepCwd: return QueueCommand(FtpCwdCommand(parts->directory));
        case kFtpStepSize: return QueueCommand(FtpSizeCommand(parts->fileName));
        case kFtpStepType: return QueueCommand(FtpTypeImageCommand());
        case kFtpStepPasv:
            if (!IsWholeResourceFetch() && PendingRequests().empty()) return true;
            if (Connection()->RemoteAddress().IsV6()) extendedPassive_ = true;
            return QueueCommand(extendedPassive_ ? FtpEpsvCommand() : FtpPasvCommand());
        default: return true;
    }
}

bool TFtpPeer::PlanRun() {
    switch (TakeBlocksForStream(stream_)) {
        case StreamBlocks::kFinished:
            return false;
        case StreamBlocks::kNoneYet:
            return true;
        case StreamBlocks::kPending:
            break;
    }
    stream_.runLength = LeadingRunLength(PendingRequests());
    // Before a transfer, REST starts it at the first pending block.
    if (step_ != kFtpStepTransfer) return true;
    const int64_t distance = int64_t{PendingRequests().front().block} * kBlockSize - stream_.position;
    if (distance >= 0 && distance <= kMaxStreamSkip) {
        stream_.skip = distance;
        SetActivity(kActivityReceiving);
        return true;
    }
    EndTransfer(true);
    return true;
}

bool TFtpPeer::RequestBlocks() {
    if (!IsConnected()) return false;
    const bool whole = IsWholeResourceFetch();
    const int64_t sourceSize = Candidate()->Details().fileSize;
    const int64_t taskSize = JobSchedule()->TotalSize();
    if (!whole && sourceSize > 0 && taskSize > 0 && sourceSize != taskSize) {
        // The mirror serves another file.
        CloseData();
        Connection()->Close();
        JobSources()->SourceFailed(Candidate(), true, kSizeMismatchPostponeSeconds);
        return false;
    }
    const bool planning = step_ == kFtpStepTransfer || step_ == kFtpStepPasv;
    if (!whole && planning && stream_.runLength <= 0 && !PlanRun()) return false;
    if (subState_ != kSubStateSend) return true;
    return QueueStepCommand();
}

bool TFtpPeer::Flush() {
    if (subState_ != kSubStateFlushing) return true;
    QSocket* control = Connection();
    if (!control || control->Send(nullptr, 0) < 0) return false;
    if (control->OutputSize() == 0) subState_ = kSubStateAwaiting;
    return true;
}

bool TFtpPeer::Transfer() {
    if (JobMeter()->DownloadBudget() <= 0 && Phase() != kPhaseConnecting) return true;
    if (!data_) return false;
    return IsWholeResourceFetch() ? ReceiveWholeResource() : ReceiveBlocks();
}

bool TFtpPeer::DataEnded() {
    // A transfer that ends before its first block would only be asked for
    // again and again: the server cannot serve it.
    if (transferBlocks_ == 0) {
        CloseData();
        return false;
    }
    EndTransfer(false);
    return true;
}

bool TFtpPeer::ConsumeBufferedBlocks() {
    const int32_t delivered = DeliverStreamedBlocks(*data_, stream_);
    if (delivered < 0) return false;
    transferBlocks_ += delivered;
    return true;
}

bool TFtpPeer::ReceiveBlocks() {
    QSocket& data = *data_;
    // The connect completes in the background; a refused one closes the socket.
    if (!data.IsConnected()) return data.IsOpen() || DataEnded();
    switch (ReadStreamWithinBudget(data, [this] { return ConsumeBufferedBlocks(); },
                                   [this] { return NextStreamRead(); })) {
        case StreamStep::kFailed:
            return false;
        case StreamStep::kEnded:
            // Buffered blocks were taken before the read: the read that meets the
            // end of the stream drops what is left, which no pending block can use.
            return DataEnded();
        case StreamStep::kPaused:
            break;
    }
    return true;
}

TFtpPeer::NextRead TFtpPeer::NextStreamRead() {
    if (stream_.runLength > 0) return NextRead::kRead;
    // The stream runs on past this run: ask for the next blocks at once
    // instead of waiting for the next step.
    if (!RequestBlocks()) return NextRead::kFail;
    if (step_ != kFtpStepTransfer || stream_.runLength <= 0) return NextRead::kStop;
    return NextRead::kLookAgain;
}

bool TFtpPeer::WholeResourceReached() const {
    const TPeerDetails& details = Candidate()->Details();
    return details.fileSize > 0 && static_cast<int64_t>(details.memoryBuffer.size()) >= details.fileSize;
}

bool TFtpPeer::FinishWholeResource() {
    TPeerDetails& details = Candidate()->Details();
    const bool complete = WholeResourceReached() || (details.fileSize <= 0 && !details.memoryBuffer.empty());
    CloseData();
    if (!complete) return false;
    details.done = true;
    // The resource is in memory: this session has nothing left to fetch.
    SetActivity(kActivityFinished);
    return false;
}

bool TFtpPeer::AppendToMemoryBuffer() {
    const size_t size = data_->InputSize();
    if (!TakeIntoWholeResource(*data_)) return false;
    stream_.position += static_cast<int64_t>(size);
    return true;
}

bool TFtpPeer::ReceiveWholeResource() {
    QSocket& data = *data_;
    if (!data.IsConnected()) return data.IsOpen() || FinishWholeResource();
    // Buffered bytes first: the read that meets the end of the stream drops them.
    if (!AppendToMemoryBuffer()) return false;
    if (!WholeResourceReached() && data.Receive(kReadSize) < 0) return FinishWholeResource();
    if (!AppendToMemoryBuffer()) return false;
    return !WholeResourceReached() || FinishWholeResource();
}

bool TFtpPeer::IsTimedOut() {
    int64_t limit = step_ == kFtpStepTransfer ? kTransferSilenceSeconds : kCommandSilenceSeconds;
    const int32_t rate = ReceiveRate();
    if (rate >= 1 && rate < kSlowRateLimit) limit *= 2;
    if (ClockNow() - Statistics().lastActivity <= limit) return false;
    return GiveUpSilentSource();
}

void TFtpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    stream_.DropRun();
    // A running transfer is ended so that the next one starts where the next
    // owner of blocks needs it. Earlier steps go on: their replies must still
    // be read in order, and a transfer about to start is planned when it does.
    if (step_ == kFtpStepTransfer) EndTransfer(true);
}

void TFtpPeer::Reset() {
    TPeerObject::Reset();
    ClearSession();
}

}  // namespace veldmoor
