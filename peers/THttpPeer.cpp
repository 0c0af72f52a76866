#include "peers/THttpPeer.h"

#include <algorithm>

#include "foundation/AsciiText.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/ClockThread.h"
#include "peers/HttpRequest.h"
#include "peers/HttpResponse.h"
#include "peers/HttpStreamRules.h"
#include "peers/IPeerJob.h"
#include "peers/SourceAddress.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int32_t kTimeoutPostponeSeconds = 15;
constexpr int32_t kServerErrorPostponeSeconds = 60;
constexpr int32_t kChangedFilePostponeSeconds = 1;
constexpr int32_t kRedirectLoopLimit = 2;
constexpr int32_t kRedirectTargetPriority = 28;
constexpr int32_t kSourceListPriority = 29;
// A whole-resource fetch that names no length may run until the server closes.
constexpr int64_t kUnknownWholeResourceSize = 2147483647;
// A body whose end only the server's close marks.
constexpr int64_t kBodyUntilClose = INT64_MAX;
// Slow windows in a row (SourceRateWatch) after which a source is given up;
// the first only postpones it, as a time-out does.
constexpr int32_t kSlowWindowsBeforeGivingUp = 2;
static_assert(SourceRateWatch::kLeastBytesPerSecond == 1024, "the notes name the least rate as 1 KiB/s");
// The same position asked for this many times in a row: the answers never
// reach it (one repeat is normal: a kept-open connection the server closed).
constexpr int32_t kMaxAsksOfOnePosition = 4;

// A weak validator may not make a range conditional.
bool IsStrongValidator(const std::string& version) { return !version.empty() && !version.starts_with("W/"); }

}  // namespace

THttpPeer::THttpPeer(IPeerJob* job) : TPeerObject(kPeerHttp, job) {}

bool THttpPeer::IsWholeResourceFetch() const {
    const TPeerId* candidate = Candidate();
    return candidate && candidate->HasDetails() && candidate->details->torrentFetch;
}

bool THttpPeer::Open(TPeerId* candidate) {
    if (!TPeerObject::Open(candidate)) return false;
    header_.Clear();
    headerComplete_ = false;
    stream_.DropRun();
    if (!IsWholeResourceFetch()) {
        // Once the task's size is known the first request already asks for
        // this connection's range; a mirror of another size is refused on its answer.
        if (PendingRequests().empty() && (candidate->Details().fileSize > 0 || JobSchedule()->ReadyPieceMap())) {
            TPeerObject::RequestBlocks();
            if (PendingRequests().empty()) return false;
        }
        stream_.position = PendingRequests().empty() ? 0 : int64_t{PendingRequests().front().block} * kBlockSize;
    } else {
        stream_.position = 0;
    }
    return SendRequest(false);
}

bool THttpPeer::SendRequest(bool onOpenConnection) {
    TPeerId& candidate = *Candidate();
    QSocket& connection = *Connection();
    if (!IsWholeResourceFetch()) {
        asksOfPosition_ = asked_ && stream_.position == requestStart_ ? asksOfPosition_ + 1 : 1;
        if (asksOfPosition_ >= kMaxAsksOfOnePosition)
            return RefuseSource("its answers never reach byte " + std::to_string(stream_.position) + ", asked for " +
                                std::to_string(asksOfPosition_) + " times");
    }
    if (!onOpenConnection) {
        if (!connection.ConnectAny(ConnectAddresses(candidate), candidate.port, false)) return false;
        SetPhase(kPhaseConnecting);
        Statistics().incoming = false;
    }
    reusedConnection_ = onOpenConnection;

    TPeerDetails& details = candidate.Details();
    const HttpUrlParts parts = SplitHttpUrl(candidate.url);
    details.refererBase = parts.refererBase;
    HttpRequestFields fields;
    fields.path = details.redirectPath.empty() ? parts.path : details.redirectPath;
    fields.host = details.hostToSend.empty() ? details.host : details.hostToSend;
    fields.port = candidate.port;
    fields.refererBase = details.refererBase;
    fields.start = stream_.position;
    askedIfRange_ = false;
    std::string version;
    if (!IsWholeResourceFetch()) {
        const int64_t knownSize = details.fileSize > 0 ? details.fileSize : JobSchedule()->TotalSize();
        // The job's rate comes every few seconds; the connection's own counts
        // size the chunks before that.
        const int64_t connectionRate = std::min<int64_t>(connection.GetReceiveRate(ClockNow()), INT32_MAX);
        const auto rate = std::max(ReceiveRate(), static_cast<int32_t>(connectionRate));
        fields.end = HttpPlannedRequestEnd(stream_.position, HttpRequestChunkBytes(rate),
                                           JobSchedule()->SourceRangeEnd(*this), knownSize) - 1;
        if (stream_.position > 0) version = JobSources()->SourceVersion(candidate.url);
        askedIfRange_ = IsStrongValidator(version);
        if (askedIfRange_) fields.ifRange = version;
    }
    const std::string request = BuildHttpRequest(fields);
    if (request.empty()) return false;
    requestStart_ = stream_.position;
    requestEnd_ = fields.end > fields.start ? fields.end + 1 : 0;
    asked_ = true;
    return connection.Send(reinterpret_cast<const uint8_t*>(request.data()), static_cast<int>(request.size())) >= 0;
}

bool THttpPeer::SendFollowingRequest(int64_t position) {
    header_.Clear();
    headerComplete_ = false;
    stream_.DropRun();
    stream_.position = position;
    Statistics().lastActivity = ClockNow();
    SetActivity(kActivityAwaitingData);
    if (Connection()->IsOpen() && SendRequest(true)) {
        // The answer wakes the job like any input.
        SetWaitsForInput(true);
        return true;
    }
    return RestartRequest();
}

bool THttpPeer::RestartRequest() {
    stream_.DropRun();
    headerComplete_ = false;
    header_.Clear();
    TPeerId* candidate = Candidate();
    candidate->AddRef();
    DetachCandidate();
    ++candidate->openConnections;
    ++candidate->attempts;
    const bool opened = Open(candidate);
    // An Open that refused the candidate never took the connection over.
    if (!opened && Candidate() != candidate) candidate->openConnections = std::max(candidate->openConnections - 1, 0);
    candidate->Release();
    return opened;
}

bool THttpPeer::Receive() {
    if (!IsConnected()) return false;
    if (IsTimedOut()) {
        JobSources()->SourceFailed(Candidate(), true, kTimeoutPostponeSeconds);
        return false;
    }
    if (JobMeter()->DownloadBudget() <= 0 && Phase() != kPhaseConnecting) {
        // Our own limit holds the source back, not its pace.
        rateWatch_.Restart(ClockNow(), Connection()->TotalReceived());
        return true;
    }
    if (!headerComplete_) {
        bool complete = false;
        if (!ReceiveHeader(complete)) return false;
        if (!complete) return true;
        return ActOnStatus();
    }
    return IsWholeResourceFetch() ? ReceiveWholeResource() : ReceiveBlocks();
}

bool THttpPeer::ReceiveHeader(bool& complete) {
    QSocket& connection = *Connection();
    if (connection.Receive(kReadSize) < 0) {
        // A server may close an idle connection just as the next request goes out.
        if (reusedConnection_ && !header_.HasStatusLine()) return RestartRequest();
        return false;
    }
    // Until connected, readiness to read says nothing.
    SetWaitsForInput(connection.IsConnected());
    if (connection.InputSize() <= 2) return true;
    const HttpHeaderResult result = header_.Parse(connection.InputData(), connection.InputSize());
    if (result == HttpHeaderResult::kTooLarge) {
        connection.Close();
        return false;
    }
    if (result == HttpHeaderResult::kIncomplete) return true;
    connection.ConsumeInput(static_cast<long>(header_.GetHeaderLength()), true);
    headerComplete_ = true;
    complete = true;
    SetPhase(kPhaseEstablished);
    Statistics().lastActivity = ClockNow();
    rateWatch_.Restart(ClockNow(), connection.TotalReceived());
    return true;
}

void THttpPeer::CloseAndPostpone(int32_t seconds) {
    Connection()->Close();
    JobSources()->SourceFailed(Candidate(), true, seconds);
}

bool THttpPeer::ActOnStatus() {
    switch (ClassifyHttpStatus(header_.GetStatusCode())) {
        case HttpStatusClass::kSuccess:
            return TakeSuccessHeader();
        case HttpStatusClass::kRedirect:
            return FollowRedirect();
        case HttpStatusClass::kClientError:
            Connection()->Close();
            JobSources()->SourceFailed(Candidate(), false, kDropDelaySeconds);
            return false;
        case HttpStatusClass::kServerError:
            CloseAndPostpone(kServerErrorPostponeSeconds);
            return false;
        case HttpStatusClass::kOther:
            return false;
    }
    return false;
}

bool THttpPeer::TakeSuccessHeader() {
    TPeerId& candidate = *Candidate();
    TPeerDetails& details = candidate.Details();
    chunkedBody_ = IsChunkedBody(header_);
    chunked_.Reset();
    decoded_.clear();
    // Stored as it came, a compressed body would be taken for the file.
    if (const auto coding = UnsupportedBodyCoding(header_))
        return RefuseSource("it sent the file encoded (" + *coding + "), which is never asked for");
    if (!IsWholeResourceFetch()) {
        // An error page sent with 200 is not the file, however fast it came.
        const std::string path = details.redirectPath.empty()
                                     ? SplitHttpUrl(details.currentUrl.empty() ? candidate.url : details.currentUrl).path
                                     : details.redirectPath;
        if (IsHtmlInsteadOfFile(header_, path)) {
            Connection()->Close();
            JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
            return false;
        }
        // A file replaced at the source since we took data from it must not be spliced in.
        if (!JobSources()->AcceptSourceVersion(candidate.url, FileVersionOf(header_))) {
            CloseAndPostpone(kChangedFilePostponeSeconds);
            return false;
        }
        // The whole file where only an unchanged file would have given the part:
        // without a version to tell, it must be taken as changed.
        if (askedIfRange_ && header_.GetStatusCode() == 200 && FileVersionOf(header_).empty()) {
            JobSources()->SourceFileChanged(candidate.url);
            CloseAndPostpone(kChangedFilePostponeSeconds);
            return false;
        }
        // The body must lie where it was asked for: a server that ignored the
        // Range would otherwise have its bytes written at the wrong place.
        const auto gap = BytesBeforeRequestedStart(header_, requestStart_);
        if (!gap) {
            CloseAndPostpone(kServerErrorPostponeSeconds);
            return false;
        }
        stream_.position = requestStart_ - *gap;
        const std::optional<int64_t> length = FramedBodyLength(header_);
        bodyEnd_ = length && *length <= kBodyUntilClose - stream_.position ? stream_.position + *length : kBodyUntilClose;
        keepAlive_ = AllowsAnotherRequest(header_);
        // Asking again would bring the same short answer, as fast as the server can give it.
        if (const std::string reason = ShortAnswerReason(); !reason.empty()) return RefuseSource(reason);
    }
    if (candidate.priority == kSourceListPriority) candidate.priority = kRedirectTargetPriority;
    if (candidate.openConnections > 1) return true;

    details.redirected = false;
    if (details.fileSize <= 0) {
        const HttpFileSize size = FileSizeFromHeader(header_);
        lengthUnknown_ = size.lengthUnknown;
        details.fileSize = size.size;
        if (IsWholeResourceFetch() && details.fileSize <= 0) details.fileSize = kUnknownWholeResourceSize;
        if (!IsWholeResourceFetch() && details.fileSize > 0) JobSources()->OnSourceFileSize(details.fileSize);
        if (!IsWholeResourceFetch() && details.fileSize <= 0) return RefuseUnknownSize();
    }
    details.fileName = FileNameFromResponse(header_, details.fileName);
    return details.fileSize > 0;
}

bool THttpPeer::RefuseUnknownSize() {
    // Without the size there is no piece map to resume into or to share
    // among sources; asking again would only bring the same answer.
    VeldmoorLog().Write("The server at " + Candidate()->url +
                            " does not say the size of the file (no Content-Length or Content-Range); the source "
                            "is not used",
                        1, 2);
    Connection()->Close();
    JobSources()->SourceFailed(Candidate(), false, kDropDelaySeconds);
    return false;
}

bool THttpPeer::RefuseSource(const std::string& reason) {
    Connection()->Close();
    JobSources()->SourceUnusable(Candidate(), reason);
    return false;
}

std::string THttpPeer::ShortAnswerReason() const {
    if (bodyEnd_ == kBodyUntilClose || PendingRequests().empty()) return {};
    const BlockRequest& first = PendingRequests().front();
    if (int64_t{first.block} * kBlockSize + first.length <= bodyEnd_) return {};
    // A source of another size than the task's is refused for that, by name,
    // once its size is taken.
    const int64_t claimed = FileSizeFromHeader(header_).size;
    const int64_t known = Candidate()->Details().fileSize;
    const int64_t taskSize = JobSchedule()->TotalSize();
    if (claimed > 0 && taskSize > 0 && claimed != taskSize && known != taskSize) return {};
    std::string reason = "its answer ends at byte " + std::to_string(bodyEnd_ - 1) + ", short of the block asked for";
    if (claimed > 0) reason += ", in a file it says has " + std::to_string(claimed) + " bytes";
    return reason;
}

std::string THttpPeer::UnusableRedirectReason(const std::string& target) {
    if (StartsWithNoCase(target, "http://") || StartsWithNoCase(target, "ftp://")) return {};
    // AbsoluteRedirectUrl leaves only a well-formed scheme in front of "://".
    constexpr size_t kShownSchemeLength = 16;
    std::string scheme = target.substr(0, std::min(target.find("://"), kShownSchemeLength));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return "it redirects to a " + scheme + ":// address, which cannot be fetched";
}

bool THttpPeer::FollowRedirect() {
    TPeerId& candidate = *Candidate();
    TPeerDetails& details = candidate.Details();
    details.redirected = true;
    const auto location = header_.GetValue("Location");
    const std::string target = location ? AbsoluteRedirectUrl(*location, details.host, candidate.port) : std::string();
    Connection()->Close();
    // Leaving for another address is not a failure of this source.
    SetActivity(kActivityFinished);
    if (target.empty()) {
        // Asked again, it would answer the same.
        SetFailureReason("it redirects without saying where to");
        JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
        return false;
    }
    if (const std::string unusable = UnusableRedirectReason(target); !unusable.empty()) return RefuseSource(unusable);

    const std::string& current = details.currentUrl.empty() ? candidate.url : details.currentUrl;
    if (target == current) {
        if (++details.redirectCount > kRedirectLoopLimit) {
            JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
            return false;
        }
    } else {
        details.currentUrl = target;
        ++details.redirectCount;
    }
    // The count travels with the chain, so that a chain of new addresses ends
    // too, and the source at its end is not asked again.
    if (details.redirectCount > kMaxRedirectChain) {
        JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
        return false;
    }

    auto* next = new TPeerId(target);
    TPeerDetails& nextDetails = next->Details();
    nextDetails.torrentFetch = details.torrentFetch;
    nextDetails.redirectCount = details.redirectCount;
    next->torrentLineMark = candidate.torrentLineMark;
    if (ParseSourceUrl(*next)) {
        next->priority = kRedirectTargetPriority;
        // The job takes a target on the same server for this very candidate
        // and would never add it: the candidate follows the redirect itself.
        if (next->ip == candidate.ip && next->port == candidate.port && EqualsNoCase(nextDetails.host, details.host))
            details.redirectPath = SplitHttpUrl(target).path;
        JobSources()->AddCandidate(next, false, false);
    } else {
        // Following it again would only lead to the same dead end.
        SetFailureReason(next->fatal ? "it redirects to a host whose name cannot be resolved"
                                     : "it redirects to an address that cannot be used");
        JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
    }
    JobSources()->NoteRedirectResolution(next->fatal);
    next->Release();
    return false;
}

bool THttpPeer::AppendToMemoryBuffer() {
    QSocket& connection = *Connection();
    if (!chunkedBody_) return TakeIntoWholeResource(connection);
    const size_t size = connection.InputSize();
    if (size == 0) return true;
    std::string& buffer = Candidate()->Details().memoryBuffer;
    const size_t used = chunked_.Decode({connection.InputData(), size}, buffer, kMaxWholeResourceBytes);
    connection.ConsumeInput(static_cast<long>(used), true);
    Statistics().lastActivity = ClockNow();
    const bool tooLarge = !chunked_.Done() && buffer.size() >= kMaxWholeResourceBytes && connection.InputSize() > 0;
    if (!chunked_.Failed() && !tooLarge) return true;
    return DropWholeResourceSource(connection);
}

bool THttpPeer::ReceiveWholeResource() {
    TPeerDetails& details = Candidate()->Details();
    const auto reachedSize = [&] {
        if (chunkedBody_) return chunked_.Done();
        return details.fileSize > 0 && static_cast<int64_t>(details.memoryBuffer.size()) >= details.fileSize;
    };
    // The fetch is complete: the connection ends cleanly and the job takes the bytes.
    const auto finish = [&] {
        details.done = true;
        SetActivity(kActivityFinished);
        Connection()->Close();
        return false;
    };
    // Buffered bytes first: the read that meets the end of the stream drops them.
    if (!AppendToMemoryBuffer()) return false;
    // A chunked body cut short is not the whole resource, whatever its length said.
    if (Connection()->Receive(kReadSize) < 0)
        return (lengthUnknown_ && !chunkedBody_) || reachedSize() ? finish() : false;
    if (!AppendToMemoryBuffer()) return false;
    return reachedSize() ? finish() : true;
}

bool THttpPeer::ConsumeBufferedBlocks() {
    if (!chunkedBody_) return DeliverStreamedBlocks(*Connection(), stream_) >= 0;
    if (!DecodeChunkedInput()) return false;
    size_t used = 0;
    const int32_t delivered = DeliverStreamedBytes(reinterpret_cast<const uint8_t*>(decoded_.data()), decoded_.size(),
                                                   stream_, used);
    decoded_.erase(0, used);
    return delivered >= 0;
}

bool THttpPeer::DecodeChunkedInput() {
    QSocket& connection = *Connection();
    const size_t used = chunked_.Decode({connection.InputData(), connection.InputSize()}, decoded_, kMaxDecodedBytes);
    connection.ConsumeInput(static_cast<long>(used), true);
    if (chunked_.Failed()) {
        CloseAndPostpone(kServerErrorPostponeSeconds);
        return false;
    }
    // The last chunk tells where the body ends: no run waits for bytes past it.
    if (chunked_.Done() && bodyEnd_ == kBodyUntilClose) {
        bodyEnd_ = stream_.position + static_cast<int64_t>(decoded_.size());
        stream_.runLength = RunLengthWithin(PendingRequests(), stream_.runLength, bodyEnd_);
    }
    return true;
}

bool THttpPeer::ReceiveBlocks() {
    QSocket& connection = *Connection();
    const StreamStep step = ReadStreamWithinBudget(
        connection, [this] { return ConsumeBufferedBlocks(); }, [this] { return NextStreamRead(); });
    if (step == StreamStep::kFailed) return false;
    if (step == StreamStep::kEnded) {
        // The server ended the response: a clean end once nothing asked for is missing.
        if (stream_.runLength <= 0) SetActivity(kActivityFinished);
        return false;
    }
    return KeepsUpRate() && connection.IsOpen();
}

bool THttpPeer::KeepsUpRate() {
    const int64_t now = ClockNow();
    const uint64_t received = Connection()->TotalReceived();
    const bool waitsForBody = stream_.runLength > 0 || stream_.skip > 0;
    if (!waitsForBody || JobMeter()->DownloadBudget() <= 0) {
        rateWatch_.Restart(now, received);
        return true;
    }
    switch (rateWatch_.Observe(now, received)) {
        case SourceRateWatch::Verdict::kWatching:
            return true;
        case SourceRateWatch::Verdict::kKeptUp:
            Candidate()->slowWindows = 0;
            return true;
        case SourceRateWatch::Verdict::kTooSlow:
            break;
    }
    return DropSlowSource();
}

bool THttpPeer::DropSlowSource() {
    TPeerId& candidate = *Candidate();
    const std::string sent = "sent " + std::to_string(rateWatch_.WindowBytes()) + " bytes in " +
                             std::to_string(SourceRateWatch::kWindowSeconds) + " s";
    Connection()->Close();
    // Its range goes back to the job for the other sources at once.
    GiveUpSilentSource();
    if (++candidate.slowWindows < kSlowWindowsBeforeGivingUp) {
        SetFailureReason("it " + sent + ", under 1 KiB/s");
        JobSources()->SourceFailed(&candidate, true, kTimeoutPostponeSeconds);
    } else {
        JobSources()->SourceUnusable(&candidate, "it was under 1 KiB/s again (" + sent + ")");
    }
    return false;
}

THttpPeer::NextRead THttpPeer::NextStreamRead() {
    if (stream_.runLength > 0 || stream_.skip > 0) return NextRead::kRead;
    // The stream runs on past this run: ask for the next blocks at once
    // instead of waiting for the next step.
    if (!RequestBlocks()) return NextRead::kFail;
    if (!headerComplete_ || (stream_.runLength <= 0 && stream_.skip <= 0)) return NextRead::kStop;
    return NextRead::kLookAgain;
}

bool THttpPeer::RequestBlocks() {
    if (!IsConnected()) return false;
    if (!headerComplete_ || stream_.runLength > 0 || IsWholeResourceFetch()) return true;

    TPeerId& candidate = *Candidate();
    const int64_t sourceSize = candidate.Details().fileSize;
    const int64_t taskSize = JobSchedule()->TotalSize();
    if (sourceSize > 0 && taskSize > 0 && sourceSize != taskSize) {
        // The mirror serves another file: asking it again would only repeat that.
        Connection()->Close();
        JobSources()->SourceFailed(&candidate, false, kDropDelaySeconds);
        return false;
    }
    // The body waits unread while the other sources are asked the size: it
    // is the file's start, and a new connection would cost a round trip.
    if (PendingRequests().empty() && JobSources()->SettlingFileSize()) return true;
    switch (TakeBlocksForStream(stream_)) {
        case StreamBlocks::kFinished:
            return false;
        case StreamBlocks::kNoneYet:
            // A server that sends past the planned end is not read on for nothing.
            if (bodyEnd_ - stream_.position > kHttpMaxStreamSkip) {
                Connection()->Close();
                SetActivity(kActivityFinished);
                return false;
            }
            return true;
        case StreamBlocks::kPending:
            break;
    }
    const BlockRequest first = PendingRequests().front();
    const int64_t wanted = int64_t{first.block} * kBlockSize;
    if (DecideHttpStream(wanted, stream_.position) == HttpStreamDecision::kReadOn &&
        wanted + first.length <= bodyEnd_) {
        stream_.skip = wanted - stream_.position;
        stream_.runLength = RunLengthWithin(PendingRequests(), LeadingRunLength(PendingRequests()), bodyEnd_);
        SetActivity(kActivityReceiving);
        return true;
    }
    stream_.runLength = 0;
    const int64_t restOfBody = bodyEnd_ - stream_.position;
    const bool bodyDone = !chunkedBody_ || (chunked_.Done() && decoded_.empty());
    if (keepAlive_ && restOfBody == 0 && bodyDone && Connection()->InputSize() == 0) return SendFollowingRequest(wanted);
    // A short rest is read and dropped to keep the connection for the next request.
    if (keepAlive_ && restOfBody > 0 && restOfBody <= kHttpMaxStreamSkip) {
        stream_.skip = restOfBody;
        return true;
    }
    return RestartRequest();
}

bool THttpPeer::Flush() { return SendQueuedOutput(); }

bool THttpPeer::IsTimedOut() {
    if (!IsHttpTimedOut(headerComplete_, ReceiveRate(), Statistics().lastActivity, ClockNow())) return false;
    return GiveUpSilentSource();
}

void THttpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    stream_.DropRun();
}

void THttpPeer::Reset() {
    TPeerObject::Reset();
    header_.Clear();
    headerComplete_ = false;
    stream_ = StreamCursor{};
    requestStart_ = 0;
    requestEnd_ = 0;
    asked_ = false;
    asksOfPosition_ = 0;
    lengthUnknown_ = false;
    bodyEnd_ = 0;
    keepAlive_ = false;
    chunkedBody_ = false;
    chunked_.Reset();
    decoded_.clear();
    reusedConnection_ = false;
    askedIfRange_ = false;
    rateWatch_ = SourceRateWatch{};
}

}  // namespace veldmoor
