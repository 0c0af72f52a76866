#include "peers/TTrackerPeer.h"

#include <algorithm>
#include <span>

#include "foundation/ClockThread.h"
#include "peers/IPeerJob.h"
#include "peers/ITrackerJob.h"
#include "peers/LocalEndpoint.h"
#include "peers/SourceAddress.h"
#include "platform/Ipv6Datagram.h"
#include "platform/UdpSocket.h"
#include "platform/Uuid.h"

namespace veldmoor {
namespace {

constexpr int32_t kHttpTrackerKind = 1;
// Reads per step: enough to meet the end of a small answer in one step,
// and few, since the answer's size cap is checked after a step's reads.
constexpr int kMaxAnswerReadsPerStep = 8;
constexpr int kMaxDatagramsPerStep = 8;

// BEP 15 numbers its events apart from the HTTP texts: 3 is "stopped".
uint32_t UdpEvent(int32_t event) {
    if (event == kEventCompleted || event == kEventStarted) return static_cast<uint32_t>(event);
    return 3;
}

bool IsDue(int64_t lastSend, int64_t now) { return lastSend == 0 || now - lastSend >= TTrackerPeer::kRepeatSeconds; }

}  // namespace

TTrackerPeer::TTrackerPeer(IPeerJob* job, int32_t event) : TPeerObject(kPeerTracker, job), event_(event) {}

TTrackerPeer::~TTrackerPeer() { CloseDatagramSocket(); }

ITrackerJob* TTrackerPeer::TrackerJob() const { return dynamic_cast<ITrackerJob*>(Job()); }

bool TTrackerPeer::IsUdpTracker() const {
    const TPeerId* candidate = Candidate();
    return candidate && candidate->HasDetails() && candidate->details->trackerKind != kHttpTrackerKind;
}

void TTrackerPeer::ClearAnnounceState() {
    // A pooled object serves another candidate next time, with the counters of then.
    announcePath_.clear();
    response_.clear();
    requestQueued_ = false;
    openedAt_ = 0;
    lastSend_ = 0;
    connectTransaction_ = {};
    connectionId_ = {};
    announceTransaction_ = {};
    announceDatagram_ = {};
    announceBuilt_ = false;
}

void TTrackerPeer::Reset() {
    TPeerObject::Reset();
    CloseDatagramSocket();
    ClearAnnounceState();
    datagramBytesSent_ = 0;
    datagramBytesReceived_ = 0;
}

bool TTrackerPeer::IsConnected() const {
    return Connection() != nullptr && (Phase() != kPhaseNone || Activity() != kActivityNone);
}

bool TTrackerPeer::Open(TPeerId* candidate) {
    if (!TPeerObject::Open(candidate)) return false;
    CloseDatagramSocket();
    ClearAnnounceState();
    SetPhase(kPhaseNone);
    SetActivity(kActivityNone);
    if (!Job() || !TrackerJob() || !candidate->HasDetails()) return false;
    openedAt_ = ClockNow();
    Statistics().incoming = false;
    return IsUdpTracker() ? OpenUdp() : OpenHttp();
}

bool TTrackerPeer::RequestBlocks() {
    if ((Phase() == kPhaseNone && Activity() == kActivityNone) || Activity() == kActivityFinished) return false;
    const int64_t now = ClockNow();
    if (IsUdpTracker()) {
        // Datagrams get lost: both requests go out again until answered.
        if (!IsDue(lastSend_, now)) return true;
        if (Phase() == kPhaseConnecting) return SendUdpConnect();
        return Phase() == kPhaseEstablished ? SendUdpAnnounce() : true;
    }
    // One request per connection: the tracker answers it and closes.
    if (Phase() != kPhaseEstablished || requestQueued_) return true;
    return SendHttpAnnounce();
}

bool TTrackerPeer::Flush() {
    if (IsUdpTracker()) return true;
    return SendQueuedOutput();
}

bool TTrackerPeer::Receive() {
    if (Phase() == kPhaseNone && Activity() == kActivityFinished) return false;
    if (Activity() == kActivityFinished) return true;
    if (openedAt_ != 0 && ClockNow() - openedAt_ >= kGiveUpSeconds) return false;
    return IsUdpTracker() ? ReceiveUdp() : ReceiveHttp();
}

// ---------------------------------------------------------------------------
// HTTP

bool TTrackerPeer::OpenHttp() {
    const TPeerId& candidate = *Candidate();
    if (!Connection()->ConnectAny(ConnectAddresses(candidate), candidate.port, false)) return false;
    SetPhase(kPhaseEstablished);
    SetActivity(kActivityReceiving);
    return true;
}

bool TTrackerPeer::SendHttpAnnounce() {
    ITrackerJob* job = TrackerJob();
    TPeerId& candidate = *Candidate();
    const TPeerDetails& details = candidate.Details();
    if (!job) return false;
    if (announcePath_.empty()) {
        const AnnounceTotals totals = job->AnnounceTransferTotals();
        AnnounceQuery query;
        query.path = details.path;
        query.query = details.query;
        query.infoHash = job->AnnounceInfoHash();
        query.peerId = job->AnnouncePeerId();
        query.listenPort = job->AnnouncePort();
        query.uploaded = totals.uploaded;
        query.downloaded = totals.downloaded;
        query.left = totals.left;
        query.event = event_;
        // Over IPv4 the tracker cannot see our IPv6 address; over IPv6 it
        // sees it itself.
        if (Candidate()->ip && Candidate()->ip->IsV4()) query.ipv6 = GetGlobalIpv6Address();
        announcePath_ = BuildAnnouncePath(query);
    }
    const std::string request = BuildAnnounceRequest(announcePath_, details.host, candidate.port);
    if (request.empty()) return false;
    response_.clear();
    response_.reserve(4096);
    requestQueued_ = true;
    lastSend_ = ClockNow();
    return Connection()->Send(reinterpret_cast<const uint8_t*>(request.data()), static_cast<int>(request.size())) >= 0;
}

bool TTrackerPeer::ReceiveHttp() {
    QSocket* connection = Connection();
    if (!connection || !connection->IsOpen()) return false;
    // The answer moves out of the connection as it comes: the read that meets
    // the end of the stream takes the connection's buffer with it.
    bool closed = false;
    for (int reads = 0; reads < kMaxAnswerReadsPerStep; ++reads) {
        if (connection->Receive(kReadSize) < 0) {
            closed = true;
            break;
        }
        const size_t size = connection->InputSize();
        if (size == 0) break;
        response_.append(reinterpret_cast<const char*>(connection->InputData()), size);
        connection->ConsumeInput(static_cast<long>(size), true);
        Statistics().lastActivity = ClockNow();
    }
    SetWaitsForInput(!closed && connection->IsConnected());

    const TrackerAnswerFrame frame = FrameTrackerAnswer(response_, closed);
    switch (frame.status) {
        case TrackerAnswerStatus::kIncomplete:
            return !closed;
        case TrackerAnswerStatus::kRefused:
            connection->Close();
            return false;
        case TrackerAnswerStatus::kComplete:
            break;
    }
    const AnnounceAnswer answer = ParseAnnounceAnswer(frame.body);
    response_.erase(0, frame.consumed);
    connection->Close();
    TakeAnswer(answer);
    return true;
}

void TTrackerPeer::TakeAnswer(const AnnounceAnswer& answer) {
    // An answer that is no bencode still counts as answered; it brings nothing.
    if (answer.parsed) {
        if (ITrackerJob* job = TrackerJob()) {
            job->SetAnnounceInterval(answer.interval);
            job->SetSwarmCounts(answer.seeds, answer.completed);
        }
        AddPeers(answer.peers);
    }
    SetActivity(kActivityFinished);
}

void TTrackerPeer::AddPeers(const std::vector<TrackerPeer>& peers) {
    ISourceRegistry* sources = JobSources();
    if (!sources) return;
    for (const TrackerPeer& peer : peers) {
        auto* candidate = new TPeerId({}, kPeerBitTorrent);
        candidate->ip = peer.endpoint.address;
        candidate->port = peer.endpoint.port;
        candidate->identity = peer.identity;
        candidate->resolved = true;
        candidate->parallelLimit = 1;
        sources->AddCandidate(candidate, false, false);
        candidate->Release();
    }
}

// ---------------------------------------------------------------------------
// UDP

bool TTrackerPeer::OpenUdp() {
    const TPeerId& candidate = *Candidate();
    const bool overIpv6 = candidate.ip && candidate.ip->IsV6();
    const int handle = overIpv6 ? platform::OpenIpv6DatagramSocket(0) : platform::OpenDatagramSocket(0);
    if (handle < 0) return false;
    datagramSocket_ = handle;
    // Random per BEP 15: a clock value is easy to guess for anyone who wants
    // to slip an answer in.
    const std::array<uint8_t, 16> random = platform::NewUuid();
    std::copy_n(random.begin(), connectTransaction_.size(), connectTransaction_.begin());
    std::copy_n(random.begin() + 4, announceTransaction_.size(), announceTransaction_.begin());
    SetPhase(kPhaseConnecting);
    SetActivity(kActivityReceiving);
    return SendUdpConnect();
}

bool TTrackerPeer::SendUdpConnect() {
    const auto request = BuildUdpConnectRequest(connectTransaction_);
    return SendDatagram(request.data(), request.size());
}

bool TTrackerPeer::SendUdpAnnounce() {
    ITrackerJob* job = TrackerJob();
    if (!job) return false;
    if (!announceBuilt_) {
        const AnnounceTotals totals = job->AnnounceTransferTotals();
        UdpAnnounceFields fields;
        fields.connection = connectionId_;
        fields.transaction = announceTransaction_;
        fields.infoHash = job->AnnounceInfoHash();
        fields.peerId = job->AnnouncePeerId();
        fields.downloaded = totals.downloaded;
        fields.left = totals.left;
        fields.uploaded = totals.uploaded;
        fields.event = UdpEvent(event_);
        // The announce carries an IPv4 address only; anything else lets the tracker use the sender's.
        const std::optional<IpAddress> bound = LocalBindAddress();
        const bool overIpv6 = Candidate()->ip && Candidate()->ip->IsV6();
        fields.ip = bound && bound->IsV4() && !overIpv6 ? *bound->V4() : Ipv4Address{};
        const int32_t port = job->AnnouncePort();
        fields.port = IsValidPort(port) ? static_cast<uint16_t>(port) : 0;
        announceDatagram_ = BuildUdpAnnounceRequest(fields);
        announceBuilt_ = true;
    }
    return SendDatagram(announceDatagram_.data(), announceDatagram_.size());
}

bool TTrackerPeer::SendDatagram(const uint8_t* data, size_t size) {
    if (datagramSocket_ == platform::kNoSocket) return false;
    const TPeerId& candidate = *Candidate();
    if (!candidate.ip) return false;
    const Endpoint tracker{*candidate.ip, static_cast<uint16_t>(candidate.port)};
    const long sent = platform::SendDatagram(datagramSocket_, data, size, tracker);
    lastSend_ = ClockNow();
    if (sent >= 0) {
        datagramBytesSent_ += static_cast<uint64_t>(sent);
        return true;
    }
    // A full send buffer loses this datagram like the network might: it is repeated.
    return platform::IsWouldBlock(static_cast<int>(sent));
}

bool TTrackerPeer::ReceiveUdp() {
    if (datagramSocket_ == platform::kNoSocket) return false;
    const TPeerId& candidate = *Candidate();
    std::array<uint8_t, kDatagramCapacity> datagram{};
    for (int count = 0; count < kMaxDatagramsPerStep && Activity() != kActivityFinished; ++count) {
        Endpoint from;
        const long received = platform::ReceiveDatagram(datagramSocket_, datagram.data(), datagram.size(), &from);
        if (received < 0) return platform::IsWouldBlock(static_cast<int>(received));
        datagramBytesReceived_ += static_cast<uint64_t>(received);
        // Only the tracker answers for the tracker.
        if (from.address != candidate.ip || from.port != candidate.port) continue;
        Statistics().lastActivity = ClockNow();
        if (!HandleDatagram(datagram.data(), static_cast<size_t>(received))) {
            // The exchange is over: later steps fail too.
            CloseDatagramSocket();
            return false;
        }
    }
    return true;
}

bool TTrackerPeer::HandleDatagram(const uint8_t* data, size_t size) {
    response_.assign(reinterpret_cast<const char*>(data), size);
    const std::span<const uint8_t> datagram(data, size);
    uint32_t action = 0;
    if (!UdpAnswerAction(datagram, action)) return true;
    if (action == kUdpActionConnect && Activity() == kActivityReceiving) {
        const UdpConnectAnswer answer = ParseUdpConnectAnswer(datagram, connectTransaction_);
        if (answer.status == UdpAnswerStatus::kAccepted && Phase() != kPhaseEstablished) {
            connectionId_ = answer.connection;
            SetPhase(kPhaseEstablished);
            lastSend_ = 0;  // the announce goes out at once
        }
        return true;
    }
    if (action != kUdpActionAnnounce || Phase() != kPhaseEstablished) return false;
    // The tracker answers a request over IPv6 with IPv6 peers, 18 bytes each.
    const TPeerId* candidate = Candidate();
    const AddressFamily family = candidate && candidate->ip ? candidate->ip->Family() : AddressFamily::kIpv4;
    const UdpAnnounceAnswer answer = ParseUdpAnnounceAnswer(datagram, announceTransaction_, family);
    if (answer.status == UdpAnswerStatus::kForeignTransaction) return true;
    if (answer.status != UdpAnswerStatus::kAccepted) return false;
    if (ITrackerJob* job = TrackerJob()) job->SetAnnounceInterval(answer.interval);
    AddPeers(answer.peers);
    SetActivity(kActivityFinished);
    return true;
}

void TTrackerPeer::CloseDatagramSocket() {
    if (datagramSocket_ == platform::kNoSocket) return;
    platform::CloseSocket(datagramSocket_);
    datagramSocket_ = platform::kNoSocket;
}

}  // namespace veldmoor
