// The BitTorrent connection itself: opening, the preamble and the handshake,
// reading and parsing messages, and the choking the job asks for.
#include "peers/TBTPeer.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/ClockThread.h"
#include "peers/IBitTorrentJob.h"
#include "peers/IPeerJob.h"
#include "platform/Clock.h"
#include "torrent/Bitfield.h"
#include "torrent/TPieces.h"

namespace veldmoor {
namespace {

constexpr int kHandshakeReadSize = 2048;
constexpr int kChokedReadSize = 2048;
constexpr int kSmallestReadSize = 192;
constexpr int32_t kFastRate = 65535;
constexpr int32_t kVeryFastRate = 262143;
constexpr int32_t kKeepInputAfterBytes = 16383;
constexpr size_t kPartialNoteBytes = 1024;
// Doubling reads stop growing here, so that a fast connection's buffer stays bounded.
constexpr int64_t kLargestReadSize = 1048576;

constexpr std::string_view kHttpAnswer = "HTTP/1.0 200 OK\r\nConnection: ";
constexpr std::string_view kHttpRequest = "GET / HTTP/1.0\r\n";
constexpr std::string_view kUserAgentLine = "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
constexpr int32_t kHostPortModulus = 6881;
constexpr int32_t kWrapEveryThirdFailure = 3;

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The Host of a wrapped handshake: an IPv4 address as the decimal of its
// four network-order bytes read as one native integer, as other clients of
// this kind send it; an IPv6 address in brackets.
std::string WrappedHostText(const IpAddress& address) {
    if (const auto v4 = address.V4()) return std::to_string(v4->NetworkOrder());
    return UrlHostText(address);
}

}  // namespace

TBTPeer::TBTPeer(IPeerJob* job) : TPeerObject(kPeerBitTorrent, job) {}

TBTPeer::~TBTPeer() = default;

IBitTorrentJob* TBTPeer::BitTorrentJob() const { return dynamic_cast<IBitTorrentJob*>(Job()); }

PieceLayout TBTPeer::Layout() const {
    const IBitTorrentJob* job = BitTorrentJob();
    return job ? job->TorrentLayout() : PieceLayout{};
}

int64_t TBTPeer::Now() const { return ClockNow(); }

bool TBTPeer::Fail() {
    if (QSocket* connection = Connection()) connection->Close();
    return false;
}

bool TBTPeer::Send(std::span<const uint8_t> bytes) {
    QSocket* connection = Connection();
    if (!connection || bytes.empty()) return connection != nullptr;
    return connection->Send(bytes.data(), static_cast<int>(bytes.size())) >= 0;
}

// ---------------------------------------------------------------------------
// Opening and the handshake

bool TBTPeer::Open(TPeerId* candidate) {
    Reset();
    if (!TPeerObject::Open(candidate)) return false;
    Statistics().incoming = false;
    const IBitTorrentJob* job = BitTorrentJob();
    if (!job || !OpensWithProtocolHeader(job->HandshakeTemplate())) return false;
    connectStarted_ = Now();
    transport_ = ChoosesStreamTransport(*candidate);
    if (transport_) return OpenStreamTransport(*candidate);
    QSocket& connection = *Connection();
    if (!connection.Connect(candidate->ip, candidate->port, false)) return false;
    SetPhase(kPhaseConnecting);
    if (connection.IsConnected()) return OnConnected();
    return connection.IsOpen();
}

bool TBTPeer::ChoosesStreamTransport(TPeerId& candidate) const {
    const IBitTorrentJob* job = BitTorrentJob();
    if (candidate.priority > kHighestTransportPriority || !job) return false;
    return TakesTransportTurn(candidate, job->WantsUdpPeers());
}

bool TBTPeer::TakesTransportTurn(TPeerId& candidate, bool udpWanted) {
    // The rendezvous service speaks IPv4; an IPv6 peer is reached directly,
    // with no NAT between (a firewall that drops the connect stays a failure).
    if (candidate.ip && candidate.ip->IsV6()) return false;
    if (candidate.failures % kTransportEveryThirdFailure != 0 && !candidate.transportTurnOwed) return false;
    // A turn spent on TCP while our registration is still unanswered would
    // put the next transport attempt two back-offs (a minute) away.
    candidate.transportTurnOwed = !udpWanted;
    return udpWanted;
}

QSocket::TransportKey TBTPeer::TransportKeyOf(const TPeerId& candidate) {
    const PeerIdentity& identity = candidate.identity;
    const bool addressOnly = std::all_of(identity.begin(), identity.begin() + 14, [](uint8_t b) { return b == 0; });
    QSocket::TransportKey key{};
    std::copy_n(identity.begin() + (addressOnly ? 12 : 8), key.size(), key.begin());
    return key;
}

bool TBTPeer::OpenStreamTransport(TPeerId& candidate) {
    QSocket& connection = *Connection();
    const QSocket::TransportKey key = TransportKeyOf(candidate);
    if (!connection.Connect(candidate.ip, candidate.port, false, nullptr, std::nullopt, &key)) return false;
    SetPhase(kPhaseConnecting);
    if (connection.IsConnected()) return OnConnected();
    return connection.IsOpen();
}

bool TBTPeer::Adopt(std::unique_ptr<QSocket> accepted) {
    Reset();
    if (!accepted) return false;
    // The accepted connection gets a candidate of its own before the base
    // takes it over; the base's reset must then leave that candidate attached.
    IBitTorrentJob* job = BitTorrentJob();
    TPeerId* candidate = job ? job->CandidateForIncoming(accepted->RemoteAddress(), accepted->RemotePort()) : nullptr;
    if (candidate && !TPeerObject::Open(candidate))
        candidate->openConnections = std::max(candidate->openConnections - 1, 0);
    adopting_ = true;
    const bool adopted = TPeerObject::Adopt(std::move(accepted));
    adopting_ = false;
    connectStarted_ = Now();
    return adopted;
}

bool TBTPeer::OnConnected() {
    // The handshake gets its own time from here: a connection that took long
    // to open (a transport connection waits for its rendezvous) must not be
    // dropped the moment it opens.
    connectStarted_ = Now();
    return SendHello();
}

bool TBTPeer::SendHello() {
    IBitTorrentJob* job = BitTorrentJob();
    QSocket* connection = Connection();
    if (!job || !connection || !connection->IsOpen()) return false;
    state_.handshake = job->HandshakeTemplate();
    if (!OpensWithProtocolHeader(state_.handshake)) return false;

    std::string hello;
    const TPeerId* candidate = Candidate();
    if (Statistics().incoming) {
        if (Statistics().wrapped) {
            hello += kHttpAnswer;
            hello += ClockNow() % 2 != 0 ? "Close\r\n" : "Keep-Alive\r\n";
            if (platform::TickMs() % 2 == 0) hello += "Content-Encoding: none\r\n";
            hello += "\r\n";
        }
    } else if (!transport_ && candidate &&
               (job->WrapsHandshakes() || candidate->failures % kWrapEveryThirdFailure == 1)) {
        hello += kHttpRequest;
        if (candidate->failures % 2 == 0) hello += kUserAgentLine;
        hello += "Host: " + WrappedHostText(connection->RemoteAddress()) + ":" +
                 std::to_string(connection->RemotePort() % kHostPortModulus) + "\r\n\r\n";
    }
    hello.append(reinterpret_cast<const char*>(state_.handshake.data()), state_.handshake.size());
    helloSent_ = true;
    Statistics().lastActivity = Now();
    return Send(Bytes(hello));
}

bool TBTPeer::CheckHandshake(QSocket& connection) {
    IBitTorrentJob* job = BitTorrentJob();
    if (!job || !connection.IsOpen() || Phase() != kPhaseConnecting) return false;
    const Handshake& own = job->HandshakeTemplate();
    if (!OpensWithProtocolHeader(own) || connection.InputSize() < kHandshakeSize) return false;
    const HandshakeCheck check = veldmoor::CheckHandshake({connection.InputData(), kHandshakeSize},
                                                          HandshakeInfoHash(own), HandshakePeerId(own));
    if (check.status != HandshakeStatus::kAccepted) return false;
    if (Statistics().incoming && job->IsPeerIdConnected(check.remotePeerId, *this)) return false;
    if (TPeerId* candidate = Candidate()) candidate->identity = check.remotePeerId;
    return true;
}

bool TBTPeer::AwaitConnect() {
    QSocket& connection = *Connection();
    if (connection.IsConnected()) return OnConnected();
    if (!connection.IsOpen()) return false;
    if (!transport_ && OwedTransportTurnIsDue()) return OpenOwedTransport();
    const int64_t limit = transport_ ? kTransportConnectTimeoutSeconds : kConnectTimeoutSeconds;
    if (Now() - connectStarted_ > limit) return Fail();
    return true;
}

bool TBTPeer::OwedTransportTurnIsDue() const {
    const TPeerId* candidate = Candidate();
    const IBitTorrentJob* job = BitTorrentJob();
    return candidate && candidate->transportTurnOwed && job && job->WantsUdpPeers();
}

bool TBTPeer::OpenOwedTransport() {
    // A peer behind NAT never answers the TCP connect that stood in for the
    // transport turn; waiting out its time-out cost more than the turn.
    Connection()->Close();
    TPeerId& candidate = *Candidate();
    candidate.transportTurnOwed = false;
    transport_ = true;
    connectStarted_ = Now();
    return OpenStreamTransport(candidate);
}

bool TBTPeer::ReceiveHandshake() {
    QSocket& connection = *Connection();
    const long preamble = HttpPreambleLength({connection.InputData(), connection.InputSize()});
    if (preamble < 0 && connection.InputSize() > kMaxPreambleBytes) return Fail();
    if (preamble > 0) {
        connection.ConsumeInput(preamble, false);
        if (Statistics().incoming) Statistics().wrapped = true;
    }
    if (preamble < 0 || connection.InputSize() < kHandshakeSize) {
        if (Now() - connectStarted_ > kHandshakeTimeoutSeconds) return Fail();
        // A stranger is refused as soon as its first bytes tell.
        const Handshake& own = OpensWithProtocolHeader(state_.handshake) ? state_.handshake
                                                                         : BitTorrentJob()->HandshakeTemplate();
        const HandshakeCheck early = veldmoor::CheckHandshake({connection.InputData(), connection.InputSize()},
                                                              HandshakeInfoHash(own), PeerIdentity{});
        if (preamble >= 0 && early.status != HandshakeStatus::kNeedMore) return Fail();
        return true;
    }
    const PeerIdentity remoteId = HandshakePeerId({connection.InputData(), connection.InputSize()});
    if (!CheckHandshake(connection) || BitTorrentJob()->IsPeerIdConnected(remoteId, *this)) {
        SetPhase(kPhaseNone);
        return Fail();
    }
    // An accepted connection answers once the remote side has shown itself.
    if (!helloSent_ && !SendHello()) return Fail();
    return CompleteHandshake();
}

bool TBTPeer::CompleteHandshake() {
    QSocket& connection = *Connection();
    IBitTorrentJob& job = *BitTorrentJob();
    SetPhase(kPhaseEstablished);
    connection.ConsumeInput(static_cast<long>(kHandshakeSize), false);

    const uint32_t pieceCount = Layout().PieceCount();
    const std::vector<uint8_t>& own = job.JobBitfield();
    if (pieceCount > 0 && own.size() == BitfieldSize(pieceCount) && AnyBitSet(own) && !Send(BuildBitfield(own)))
        return false;
    state_.remoteBitfield.assign(BitfieldSize(pieceCount), 0);
    state_.doNotAsk.assign(BitfieldSize(pieceCount), 0);
    state_.remotePieces = 0;
    state_.remotePiecesAtHandshake = 0;
    state_.haveCount = 0;
    state_.lastHave = -1;
    state_.chokeTime = Now();
    state_.peerChoking = true;
    SetActivity(kActivityWaiting);

    std::array<uint8_t, 10> interestedAndUnchoke{};
    const BareMessage interested = BuildInterested();
    const BareMessage unchoke = BuildUnchoke();
    std::copy(interested.begin(), interested.end(), interestedAndUnchoke.begin());
    std::copy(unchoke.begin(), unchoke.end(), interestedAndUnchoke.begin() + interested.size());
    if (!Send(interestedAndUnchoke)) return false;
    state_.amChoking = false;
    state_.handshakeComplete = true;
    // The ranking rates it afresh and keeps it from being unchoked again at once.
    SetRated(false);
    SetHoldChoked(true);
    Statistics().lastActivity = Now();
    return connection.IsOpen();
}

// ---------------------------------------------------------------------------
// Receiving

int TBTPeer::ReadSize() const {
    if (state_.peerChoking || PendingRequests().empty() || Phase() == kPhaseConnecting) return kChokedReadSize;
    if (PipelineRate() > kVeryFastRate) return 65536 + 1024;
    if (PipelineRate() > kFastRate) return 32768 + 1024;
    return 16384 + 1024;
}

bool TBTPeer::Receive() {
    if (!IsConnected()) return false;
    if (!BitTorrentJob()) return Fail();
    QSocket& connection = *Connection();
    SetWaitsForInput(false);
    receivedThisPass_ = 0;
    // An accepted connection says hello once it has seen the remote side's opening.
    if (Phase() == kPhaseConnecting && !helloSent_ && !Statistics().incoming) {
        if (!AwaitConnect()) return false;
        if (!helloSent_) return true;
    }
    const int32_t budget = JobMeter()->DownloadBudget();
    if (budget <= 0 && Phase() != kPhaseConnecting) return true;
    int wanted = Phase() == kPhaseConnecting ? kHandshakeReadSize : ReadSize();
    if (budget < wanted) wanted = std::max(budget, kSmallestReadSize);

    size_t before = connection.InputSize();
    if (connection.Receive(wanted) < 0) return false;
    size_t added = connection.InputSize() - before;
    int64_t left = int64_t{budget} - static_cast<int64_t>(added);
    receivedThisPass_ = static_cast<int32_t>(added);
    if (added > 0) Statistics().lastActivity = Now();

    if (Phase() == kPhaseConnecting) {
        if (!ReceiveHandshake()) return false;
        if (Phase() == kPhaseConnecting) {
            SetWaitsForInput(connection.IsConnected());
            return true;
        }
    } else if (added == 0) {
        connection.ConsumeInput(0, false);
        SetWaitsForInput(true);
        return true;
    }

    // The socket keeps delivering full reads: take more in larger reads.
    for (int reads = 0; static_cast<int>(added) == wanted && reads < kMaxReadsPerStep && left > 0 &&
                        connection.InputSize() < kMaxBufferedInput;
         ++reads) {
        wanted = static_cast<int>(std::min({int64_t{wanted} * 2, left, kLargestReadSize}));
        before = connection.InputSize();
        if (connection.Receive(wanted) < 0) return false;
        added = connection.InputSize() - before;
        left -= static_cast<int64_t>(added);
        receivedThisPass_ += static_cast<int32_t>(added);
    }
    SetWaitsForInput(static_cast<int>(added) < wanted);

    const bool wasChoking = state_.peerChoking;
    if (!ParseMessages()) return false;
    if (state_.peerChoking != wasChoking) {
        if (state_.peerChoking) {
            if (!PendingRequests().empty()) CancelAndReturnRequests();
        } else {
            state_.inFlight = 0;
            state_.timeoutCounter = 0;
            if (!SendRequests()) return false;
        }
    }
    return IsConnected();
}

bool TBTPeer::ParseMessages() {
    QSocket& connection = *Connection();
    size_t used = 0;
    while (connection.IsOpen() && used < connection.InputSize()) {
        const std::span<const uint8_t> rest(connection.InputData() + used, connection.InputSize() - used);
        const Frame frame = ReadFrame(rest);
        if (frame.status == FrameStatus::kNeedMore) {
            if (frame.headerKnown && frame.id == kMsgPiece) NotePartialPiece(rest);
            break;
        }
        if (frame.status == FrameStatus::kKeepAlive) {
            used += frame.used;
            continue;
        }
        if (frame.status == FrameStatus::kError) {
            ++Statistics().errors;
            return Fail();
        }
        if (frame.id == kMsgPiece) {
            state_.receivingPiece = false;
            partialNoted_ = 0;
        }
        if (!HandleMessage(frame.id, frame.payload)) return Fail();
        used += frame.used;
    }
    if (!connection.IsOpen()) return false;
    const bool keep = ReceiveRate() > kVeryFastRate || receivedThisPass_ > kKeepInputAfterBytes;
    connection.ConsumeInput(static_cast<long>(used), keep);
    return true;
}

bool TBTPeer::HandleMessage(uint8_t id, std::span<const uint8_t> payload) {
    switch (id) {
        case kMsgChoke:
            SetPeerChoking(true);
            return true;
        case kMsgUnchoke:
            SetPeerChoking(false);
            return true;
        case kMsgHave:
            return HandleHave(payload);
        case kMsgBitfield:
            return HandleBitfield(payload);
        case kMsgRequest:
        case kMsgCancel:
            return HandleRequest(id, payload);
        case kMsgPiece:
            return HandlePiece(payload);
        default:
            // Interest and ids this side does not speak change nothing.
            return true;
    }
}

void TBTPeer::SetPeerChoking(bool choking) {
    state_.peerChoking = choking;
    if (!choking)
        state_.chokeTime = 0;
    else if (state_.chokeTime == 0)
        state_.chokeTime = Now();
    UpdateActivity();
}

void TBTPeer::UpdateActivity() {
    SetActivity(state_.peerChoking || state_.amChoking ? kActivityWaiting : kActivityReceiving);
}

void TBTPeer::NoteSeed() {
    const uint32_t count = Layout().PieceCount();
    if (count > 0 && static_cast<uint32_t>(state_.remotePieces) >= count && state_.seedSince == 0)
        state_.seedSince = Now();
}

bool TBTPeer::HandleHave(std::span<const uint8_t> payload) {
    const uint32_t count = Layout().PieceCount();
    uint32_t index = 0;
    if (ParseHave(payload, count, index) != WireError::kNone) {
        ++Statistics().errors;
        return false;
    }
    if (state_.remoteBitfield.size() != BitfieldSize(count)) state_.remoteBitfield.assign(BitfieldSize(count), 0);
    if (state_.doNotAsk.size() != BitfieldSize(count)) state_.doNotAsk.assign(BitfieldSize(count), 0);
    if (SetBit(state_.remoteBitfield, index, true)) {
        ++state_.remotePieces;
        ++state_.haveCount;
        NoteSeed();
    }
    SetBit(state_.doNotAsk, index, false);
    if (state_.starved) {
        const TPieces* map = JobSchedule()->ReadyPieceMap();
        if (map && map->IsPieceWanted(index)) state_.starved = false;
    }
    state_.lastHave = static_cast<int32_t>(index);
    return true;
}

bool TBTPeer::HandleBitfield(std::span<const uint8_t> payload) {
    const uint32_t count = Layout().PieceCount();
    if (CheckBitfield(payload, count) != WireError::kNone) {
        ++Statistics().errors;
        return false;
    }
    state_.remoteBitfield.assign(payload.begin(), payload.end());
    // Spare bits mean nothing; cleared, they cannot pass for pieces.
    ClearSpareBits(state_.remoteBitfield, count);
    if (state_.doNotAsk.size() != state_.remoteBitfield.size()) state_.doNotAsk.assign(state_.remoteBitfield.size(), 0);
    state_.remotePieces = static_cast<int32_t>(CountPieces(state_.remoteBitfield, count));
    state_.remotePiecesAtHandshake = state_.remotePieces;
    if (state_.remotePieces == 0) {
        if (!state_.starved) state_.starvedSince = Now();
        state_.starved = true;
    } else {
        SetRated(true);
    }
    NoteSeed();
    return true;
}

bool TBTPeer::HandleRequest(uint8_t id, std::span<const uint8_t> payload) {
    BlockRef block;
    if (ParseBlockRequest(payload, Layout(), block) != WireError::kNone) {
        ++Statistics().errors;
        return false;
    }
    const auto same = [&](const UploadRequest& queued) {
        return queued.index == block.index && queued.begin == block.begin && queued.length == block.length;
    };
    if (id == kMsgCancel) {
        std::erase_if(uploads_, same);
        return true;
    }
    if (state_.amChoking || std::any_of(uploads_.begin(), uploads_.end(), same)) return true;
    const IBitTorrentJob* job = BitTorrentJob();
    if (!job || !HasBit(job->JobBitfield(), block.index) || uploads_.size() >= kMaxUploadRequests) return true;
    uploads_.push_back({block.index, block.begin, block.length});
    return true;
}

bool TBTPeer::HandlePiece(std::span<const uint8_t> payload) {
    const PieceLayout layout = Layout();
    uint32_t unreadable = 0;
    if (IsUnreadableBlockMarker(payload, unreadable)) {
        if (unreadable >= layout.PieceCount()) {
            ++Statistics().errors;
            return false;
        }
        if (state_.doNotAsk.size() == BitfieldSize(layout.PieceCount())) SetBit(state_.doNotAsk, unreadable, true);
        ReturnRequestsOfPiece(static_cast<int32_t>(unreadable));
        return true;
    }
    PieceBlock block;
    if (ParsePiece(payload, layout, block) != WireError::kNone) {
        ++Statistics().errors;
        return false;
    }
    pieceDataSinceCheck_ = true;
    const uint64_t position = uint64_t{block.index} * layout.pieceLength + block.begin;
    if (position % kBlockSize != 0 || position / kBlockSize > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        ++Statistics().errors;
        return false;
    }
    return DeliverBlock(static_cast<int32_t>(position / kBlockSize), block.data.data(),
                        static_cast<int32_t>(block.data.size()));
}

void TBTPeer::NotePartialPiece(std::span<const uint8_t> buffered) {
    state_.receivingPiece = true;
    constexpr size_t kHeader = kLengthPrefixSize + 1 + kPieceHeaderPayload;
    if (buffered.size() < kHeader || buffered.size() <= partialNoted_ + kPartialNoteBytes) return;
    partialNoted_ = buffered.size();
    pieceDataSinceCheck_ = true;
    const PieceLayout layout = Layout();
    const uint64_t position = uint64_t{LoadBigEndian32(buffered.data() + 5)} * layout.pieceLength +
                              LoadBigEndian32(buffered.data() + 9);
    if (position % kBlockSize != 0) return;
    // A slow block that keeps moving is not to be given up.
    for (BlockRequest& request : MutablePendingRequests()) {
        if (static_cast<uint64_t>(request.block) * kBlockSize == position) {
            request.createdAt = static_cast<int32_t>(Now());
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Choking

void TBTPeer::Choke() {
    state_.amChoking = true;
    SetActivity(kActivityWaiting);
    if (state_.handshakeComplete && IsConnected()) Send(BuildChoke());
}

void TBTPeer::Unchoke() {
    state_.amChoking = false;
    UpdateActivity();
    if (state_.handshakeComplete && IsConnected()) Send(BuildUnchoke());
}

void TBTPeer::ChokeAndDropUploads() {
    Choke();
    uploads_.clear();
}

int32_t TBTPeer::TakeHaveCount() { return std::exchange(state_.haveCount, 0); }

// ---------------------------------------------------------------------------
// What the job asks

const void* TBTPeer::GetInfo(int which) const {
    if (which == kBitTorrentInfo) return &state_;
    return TPeerObject::GetInfo(which);
}

int32_t TBTPeer::GetRemoteRate() {
    if (!IsEstablished()) return 0;
    const int64_t gained = int64_t{state_.remotePieces} - state_.remotePiecesAtHandshake;
    if (gained <= 4) return 0;
    const int64_t seconds = std::max<int64_t>(Now() - Connection()->ConnectTime(), 1);
    const int64_t rate = gained * (Layout().pieceLength / 1024) / seconds;
    return static_cast<int32_t>(std::min<int64_t>(rate, std::numeric_limits<int32_t>::max()));
}

bool TBTPeer::IsIdle() {
    if (!JobState() || !JobState()->PeerToPeerEnabled()) return true;
    const QSocket* connection = Connection();
    if (!IsConnected() || !connection) return false;
    const int64_t now = Now();
    if (connection->ConnectTime() == 0 || now - connection->ConnectTime() <= 120) return false;
    constexpr int64_t kIdleAverageRate = 18;
    if (JobState()->DownloadComplete()) return SendRate() < 1 && connection->GetSendRate(now) <= kIdleAverageRate;
    return ReceiveRate() < 1 && connection->GetReceiveRate(now) <= kIdleAverageRate;
}

bool TBTPeer::IsSeed() {
    const uint32_t count = Layout().PieceCount();
    if (count == 0 || static_cast<uint32_t>(state_.remotePieces) < count) return false;
    if (state_.seedSince == 0) state_.seedSince = Now();
    return true;
}

bool TBTPeer::IsSeedSettled() { return IsSeed() && Now() - state_.seedSince > 15; }

bool TBTPeer::IsStarved() { return state_.starved && Now() - state_.starvedSince > 90; }

// ---------------------------------------------------------------------------
// Reset

void TBTPeer::Reset() {
    // Adopt's own reset must not detach the candidate just given to it.
    if (adopting_) return;
    state_.inFlight = 0;
    SetPhase(kPhaseNone);
    state_.remoteBitfield.clear();
    TPeerObject::Reset();
    state_ = BitTorrentState{};
    uploads_.clear();
    uploads_.shrink_to_fit();
    recentCancels_.clear();
    farEnd_ = FarEndRange{};
    connectStarted_ = 0;
    lastStarvedRound_ = 0;
    nextRoundAt_ = 0;
    lastTimeoutCheck_ = 0;
    pieceDataSinceCheck_ = false;
    partialNoted_ = 0;
    deliveredBlocks_ = 0;
    receivedThisPass_ = 0;
    helloSent_ = false;
    flushTurn_ = false;
    transport_ = false;
}

}  // namespace veldmoor
