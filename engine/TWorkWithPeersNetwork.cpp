// The peer set's engine-wide duties, shared with every other job under the
// job-list lock: the listener, the incoming connections, and the discovery
// of peers on the local network.
#include <algorithm>

#include "engine/ConnectionLimits.h"
#include "engine/EngineState.h"
#include "engine/ScopedTryLock.h"
#include "engine/TWorkWithPeers.h"
#include "engine/UdpServiceHooks.h"
#include "foundation/EngineLocks.h"
#include "foundation/WorkerThread.h"
#include "peers/LocalEndpoint.h"
#include "peers/SourceAddress.h"
#include "peers/TPeerObject.h"
#include "peers/TrackerProtocol.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

constexpr const char* kServiceDisabledText = "Service Disabled!";
constexpr uint32_t kPendingLongestWaitMs = 5000;
constexpr uint32_t kPendingSilentWaitMs = 3000;
constexpr int32_t kExtraPeersWhileAdopting = 4;
// Datagrams read per exchange; the rest wait for the next one.
constexpr int kMaxDatagramsPerExchange = 256;

}  // namespace

// ---------------------------------------------------------------------------
// The engine view

void TWorkWithPeers::CopyEngineView() {
    view_.peerToPeer = engine_.peerToPeer;
    view_.reachableFromOutside = engine_.reachableFromOutside;
    view_.udpServiceOff = engine_.udpServiceOff;
    view_.attemptCap = engine_.connectionAttemptCap;
    const IncomingConnections& incoming = engine_.incoming;
    view_.localAddress = incoming.IsListening() ? incoming.LocalAddress() : std::nullopt;
    view_.listeningPort = incoming.IsListening() ? incoming.ListeningPort() : 0;
}

void TWorkWithPeers::RefreshEngineView() {
    ScopedTryLock guard(EngineJobListLock());
    if (guard.IsLocked()) CopyEngineView();
}

// ---------------------------------------------------------------------------
// Incoming connections

void TWorkWithPeers::DispatchIncoming() {
    ScopedTryLock guard(EngineJobListLock());
    if (!guard.IsLocked()) return;
    KeepListener();
    CopyEngineView();
    IncomingConnections& incoming = engine_.incoming;
    const uint32_t tick = platform::TickMs();
    NoteAcceptedAddresses(incoming.AcceptWaiting(tick));

    std::vector<InfoHash> known;
    for (const InfoHashEntry& entry : engine_.infoHashes) {
        InfoHash hash;
        std::copy_n(entry.record.begin(), hash.size(), hash.begin());
        known.push_back(hash);
    }
    incoming.Dispatch(tick, [&](PendingConnection& connection, uint32_t now) { return JudgePending(connection, now, known); });
    incoming.Cull(tick);
}

void TWorkWithPeers::KeepListener() {
    IncomingConnections& incoming = engine_.incoming;
    if (!engine_.peerToPeer) {
        incoming.CloseAll();
        listeningText_ = kServiceDisabledText;
        return;
    }
    const int32_t port = engine_.EffectiveListenPort();
    const int64_t now = record_.JobClock();
    if (incoming.IsListening() && engine_.addressCheck &&
        now - incoming.LastAddressCheck() >= IncomingConnections::kAddressCheckSeconds) {
        incoming.SetLastAddressCheck(now);
        // This host moved to another address: listen afresh.
        const std::optional<IpAddress> current = GetLocalAddress(-1);
        if (current && current != incoming.LocalAddress()) incoming.CloseListener();
    }
    if (!incoming.Listen(port)) return;
    UdpServiceSetLocalAddress(incoming.LocalAddress(), incoming.ListeningPort());
    incoming.KeepTransportListener(!engine_.udpServiceOff && UdpServiceRuns());
    if (incoming.LastAddressCheck() == 0) incoming.SetLastAddressCheck(now);
    listeningText_ = AddressPortText(incoming.LocalAddress().value_or(Ipv4Address::FromOctets(255, 255, 255, 255)),
                                     incoming.ListeningPort());
}

void TWorkWithPeers::NoteAcceptedAddresses(const std::vector<IpAddress>& addresses) {
    const std::optional<IpAddress>& local = engine_.incoming.LocalAddress();
    for (const IpAddress& remote : addresses) {
        // A connection from this host or its own network proves nothing about
        // reachability; one over IPv6 proves nothing about IPv4, where the UDP
        // service still helps peers behind NAT.
        if (remote.IsV6() || remote.IsLoopback() || (local && remote.SameNetwork(*local)) ||
            engine_.reachableFromOutside)
            continue;
        engine_.reachableFromOutside = true;
        engine_.udpServiceOff = true;
    }
}

PendingVerdict TWorkWithPeers::JudgePending(PendingConnection& connection, uint32_t tick, const std::vector<InfoHash>& known) {
    const QSocket& socket = *connection.socket;
    HandshakeMatch match = MatchHandshake(socket.InputData(), socket.InputSize(), infoHash_, known);
    // A job without a torrent owns no handshake, least of all an all-zero one.
    if (match == HandshakeMatch::kThisJob && !HasIdentity(infoHash_)) match = HandshakeMatch::kUnknownHash;
    if (match == HandshakeMatch::kUnknownHash) return PendingVerdict::kClose;
    if (match == HandshakeMatch::kThisJob && socket.InputSize() >= kHandshakeSize) {
        if (!WouldAdopt(socket)) return PendingVerdict::kClose;
        const bool taken = TakeIncoming(std::move(connection.socket), connection.wrapped);
        return taken ? PendingVerdict::kTaken : PendingVerdict::kClose;
    }
    // Not enough to decide yet (or another job's): it waits, but not for long.
    const uint32_t age = connection.AgeMs(tick);
    const bool keeps = age < kPendingLongestWaitMs && (age < kPendingSilentWaitMs || socket.InputSize() >= kHandshakeSize);
    return keeps ? PendingVerdict::kWait : PendingVerdict::kClose;
}

bool TWorkWithPeers::WouldAdopt(const QSocket& connection) const {
    const int32_t maximum = record_.Settings().maxConnections;
    const bool room = static_cast<int32_t>(peers_.size()) < maximum + kExtraPeersWhileAdopting || CountEstablished() < maximum;
    if (!room) return false;
    const PeerIdentity remote = HandshakePeerId({connection.InputData(), connection.InputSize()});
    if (HasIdentity(ownPeerId_) && remote == ownPeerId_) return false;
    std::vector<IpAddress> connected;
    for (const TPeerObject* peer : peers_) {
        if (peer->Kind() == kPeerBitTorrent && peer->Connection()) connected.push_back(peer->Connection()->RemoteAddress());
    }
    if (!RoomForAddress(connection.RemoteAddress(), connected)) return false;
    return std::none_of(peers_.begin(), peers_.end(), [&](const TPeerObject* peer) {
        return peer->Candidate() && HasIdentity(remote) && peer->Candidate()->identity == remote;
    });
}

bool TWorkWithPeers::IsOwnHandshake(const QSocket& connection) const {
    return HasIdentity(infoHash_) && IsHandshakeFor(connection.InputData(), connection.InputSize(), infoHash_);
}

bool TWorkWithPeers::TakeIncoming(std::unique_ptr<QSocket> connection, bool wrapped) {
    if (!connection) return false;
    connection->SetReceiveLimit(QSocket::kDefaultReceiveLimit);
    TPeerObject* peer = MakePooledPeer(kPeerBitTorrent);
    if (!peer) return false;
    if (!peer->Adopt(std::move(connection))) {
        ReturnToPool(peer);
        return false;
    }
    peer->Statistics().wrapped = wrapped;
    if (!peer->CheckHandshake(*peer->Connection()) || !peer->OnConnected()) {
        ReturnToPool(peer);
        return false;
    }
    peer->SetNumber(++peerNumbers_);
    peers_.push_back(peer);
    return true;
}

// ---------------------------------------------------------------------------
// Local-network discovery

void TWorkWithPeers::ExchangeLocalAnnouncements() {
    ScopedTryLock guard(EngineJobListLock());
    if (!guard.IsLocked()) return;
    CopyEngineView();
    LocalAnnouncements& shared = engine_.localAnnouncements;
    if (!engine_.peerToPeer) {
        shared.CloseAll();
        return;
    }
    if (!events_.HasPieceMap() || !HasIdentity(infoHash_) || !shared.EnsureChannel()) return;
    if (!announcedOnce_) {
        announcedOnce_ = SendAnnouncement(false) && SendAnnouncement(false);
        return;
    }
    ReadAnnouncements();
    TakeKeptAnnouncements();
    shared.Expire(record_.JobClock(), engine_.jobs);
}

Announcement TWorkWithPeers::OwnAnnouncement(bool reply) const {
    Announcement own;
    // The announcement carries an IPv4 address; 255.255.255.255 when this host has none to give.
    std::optional<IpAddress> local = view_.localAddress ? view_.localAddress : GetLocalAddress(-1);
    own.address = local && local->IsV4() ? *local->V4() : Ipv4Address::FromOctets(255, 255, 255, 255);
    own.port = static_cast<uint16_t>(view_.listeningPort);
    own.reply = reply;
    own.infoHash = infoHash_;
    own.peerId = ownPeerId_;
    return own;
}

bool TWorkWithPeers::SendAnnouncement(bool reply) {
    LocalAnnouncements& shared = engine_.localAnnouncements;
    IAnnouncementChannel* channel = shared.Channel();
    if (!channel) return false;
    const auto bytes = EncodeAnnouncement(OwnAnnouncement(reply));
    if (channel->SendToGroup(bytes.data(), bytes.size())) return true;
    shared.CloseChannel();
    return false;
}

void TWorkWithPeers::ReadAnnouncements() {
    LocalAnnouncements& shared = engine_.localAnnouncements;
    const IpAddress ownAddress = OwnAnnouncement(false).address;
    ReceivedDatagram datagram;
    for (int i = 0; i < kMaxDatagramsPerExchange; ++i) {
        IAnnouncementChannel* channel = shared.Channel();
        if (!channel) return;
        const IAnnouncementChannel::Received received = channel->Receive(datagram);
        if (received == IAnnouncementChannel::Received::kNothing) return;
        if (received == IAnnouncementChannel::Received::kFailed) {
            shared.CloseChannel();
            return;
        }
        // Our own announcements come back from the group.
        if (datagram.sender == ownAddress) continue;
        const std::optional<Announcement> announcement = DecodeAnnouncement(datagram.bytes.data(), datagram.bytes.size());
        if (!announcement || announcement->peerId == ownPeerId_) continue;
        if (announcement->infoHash == infoHash_)
            TakeAnnouncement(*announcement, datagram.sender);
        else
            shared.Keep(*announcement, datagram.sender, record_.JobClock(), &thread_);
    }
}

void TWorkWithPeers::TakeKeptAnnouncements() {
    std::vector<KeptAnnouncement>& kept = engine_.localAnnouncements.Kept();
    for (size_t i = 0; i < kept.size();) {
        if (kept[i].SeenBy(&thread_)) {
            ++i;
        } else if (kept[i].announcement.infoHash == infoHash_) {
            const KeptAnnouncement taken = kept[i];
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
            TakeAnnouncement(taken.announcement, taken.sender);
        } else {
            kept[i].seenBy.push_back(&thread_);
            ++i;
        }
    }
}

void TWorkWithPeers::TakeAnnouncement(const Announcement& announcement, const IpAddress& sender) {
    // An IPv6 link-local sender cannot be reached without its interface.
    if (IsPeerEndpoint({sender, announcement.port})) {
        TPeerId* candidate = AddPeerAddress(sender, announcement.port, kPeerBitTorrent, true, kLocalNetworkPriority);
        if (candidate) {
            if (HasIdentity(announcement.peerId)) candidate->identity = announcement.peerId;
            RememberLocalPeer(sender);
        }
    }
    if (!announcement.reply) SendAnnouncement(true);
}

}  // namespace veldmoor
