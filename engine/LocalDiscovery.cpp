#include "engine/LocalDiscovery.h"

#include <algorithm>
#include <cstring>

#include "peers/SourceAddress.h"
#include "platform/Ipv6Datagram.h"
#include "platform/UdpSocket.h"

namespace veldmoor {
namespace {

constexpr size_t kAddressOffset = 4;
constexpr size_t kPortOffset = 8;
constexpr size_t kKindOffset = 12;
constexpr size_t kHashOffset = 16;
constexpr size_t kPeerIdOffset = 36;
constexpr size_t kDatagramBuffer = 2048;

uint32_t ReadBigEndian32(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

// The group's socket of one family.
struct GroupSocket {
    platform::SocketHandle handle = platform::kNoSocket;
    Endpoint group;
};

// One socket per family whose network has multicast. A family whose socket
// fails is dropped; the channel fails when none is left.
class MulticastChannel final : public IAnnouncementChannel {
public:
    explicit MulticastChannel(std::vector<GroupSocket> sockets) : sockets_(std::move(sockets)) {}
    ~MulticastChannel() override {
        for (const GroupSocket& socket : sockets_) platform::CloseSocket(socket.handle);
    }
    MulticastChannel(const MulticastChannel&) = delete;
    MulticastChannel& operator=(const MulticastChannel&) = delete;

    bool SendToGroup(const uint8_t* data, size_t size) override {
        std::erase_if(sockets_, [&](const GroupSocket& socket) {
            const long sent = platform::SendDatagram(socket.handle, data, size, socket.group);
            const bool failed = sent < 0 && !platform::IsWouldBlock(static_cast<int>(sent));
            if (failed) platform::CloseSocket(socket.handle);
            return failed;
        });
        return !sockets_.empty();
    }

    Received Receive(ReceivedDatagram& datagram) override {
        for (size_t i = 0; i < sockets_.size();) {
            datagram.bytes.resize(kDatagramBuffer);
            Endpoint from;
            const long received =
                platform::ReceiveDatagram(sockets_[i].handle, datagram.bytes.data(), datagram.bytes.size(), &from);
            if (received >= 0) {
                datagram.bytes.resize(static_cast<size_t>(received));
                datagram.sender = from.address;
                return Received::kDatagram;
            }
            if (platform::IsWouldBlock(static_cast<int>(received))) {
                ++i;
                continue;
            }
            platform::CloseSocket(sockets_[i].handle);
            sockets_.erase(sockets_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return sockets_.empty() ? Received::kFailed : Received::kNothing;
    }

private:
    std::vector<GroupSocket> sockets_;
};

std::optional<GroupSocket> OpenGroupSocket(const IpAddress& group) {
    const int handle =
        group.IsV6() ? platform::OpenIpv6DatagramSocket(kDiscoveryPort) : platform::OpenDatagramSocket(kDiscoveryPort);
    if (handle < 0) return std::nullopt;
    const int joined = group.IsV6() ? platform::JoinIpv6MulticastGroup(handle, group)
                                    : platform::JoinMulticastGroup(handle, *group.V4());
    if (joined < 0) {
        platform::CloseSocket(handle);
        return std::nullopt;
    }
    return GroupSocket{handle, {group, kDiscoveryPort}};
}

}  // namespace

Ipv4Address DiscoveryGroup() { return Ipv4Address::FromOctets(233, 65, 31, 78); }

IpAddress DiscoveryGroupV6() { return *IpAddress::Parse("ff15::e941:1f4e"); }

std::array<uint8_t, kAnnouncementBytes> EncodeAnnouncement(const Announcement& announcement) {
    std::array<uint8_t, kAnnouncementBytes> bytes{};
    std::copy(announcement.address.Octets().begin(), announcement.address.Octets().end(), bytes.begin() + kAddressOffset);
    bytes[kPortOffset] = static_cast<uint8_t>(announcement.port >> 8);
    bytes[kPortOffset + 1] = static_cast<uint8_t>(announcement.port & 0xFF);
    bytes[kKindOffset + 3] = announcement.reply ? 1 : 0;
    std::copy(announcement.infoHash.begin(), announcement.infoHash.end(), bytes.begin() + kHashOffset);
    std::copy(announcement.peerId.begin(), announcement.peerId.end(), bytes.begin() + kPeerIdOffset);
    return bytes;
}

std::optional<Announcement> DecodeAnnouncement(const uint8_t* data, size_t size) {
    if (!data || size < kAnnouncementBytes || ReadBigEndian32(data) != 0) return std::nullopt;
    Announcement announcement;
    announcement.address = Ipv4Address::FromOctets(data[kAddressOffset], data[kAddressOffset + 1],
                                                   data[kAddressOffset + 2], data[kAddressOffset + 3]);
    announcement.port = static_cast<uint16_t>((data[kPortOffset] << 8) | data[kPortOffset + 1]);
    announcement.reply = ReadBigEndian32(data + kKindOffset) != 0;
    std::copy_n(data + kHashOffset, announcement.infoHash.size(), announcement.infoHash.begin());
    std::copy_n(data + kPeerIdOffset, announcement.peerId.size(), announcement.peerId.begin());
    return announcement;
}

std::unique_ptr<IAnnouncementChannel> OpenMulticastChannel() {
    std::vector<GroupSocket> sockets;
    for (const IpAddress& group : {IpAddress(DiscoveryGroup()), DiscoveryGroupV6()}) {
        if (const std::optional<GroupSocket> socket = OpenGroupSocket(group)) sockets.push_back(*socket);
    }
    if (sockets.empty()) return nullptr;
    return std::make_unique<MulticastChannel>(std::move(sockets));
}

bool KeptAnnouncement::SeenBy(const WorkerThread* job) const {
    return std::find(seenBy.begin(), seenBy.end(), job) != seenBy.end();
}

LocalAnnouncements::LocalAnnouncements() : opener_(OpenMulticastChannel) {}

bool LocalAnnouncements::EnsureChannel() {
    if (!channel_ && opener_) channel_ = opener_();
    return channel_ != nullptr;
}

void LocalAnnouncements::SetChannelOpener(ChannelOpener opener) {
    channel_.reset();
    opener_ = opener ? std::move(opener) : ChannelOpener(OpenMulticastChannel);
}

void LocalAnnouncements::Keep(const Announcement& announcement, const IpAddress& sender, int64_t now, const WorkerThread* seenBy) {
    const bool known = std::any_of(kept_.begin(), kept_.end(), [&](const KeptAnnouncement& kept) {
        return kept.announcement.peerId == announcement.peerId;
    });
    if (known || kept_.size() >= kCapacity) return;
    kept_.push_back({announcement, sender, now, {seenBy}});
}

void LocalAnnouncements::Expire(int64_t now, const std::vector<WorkerThread*>& jobs) {
    std::erase_if(kept_, [&](const KeptAnnouncement& kept) {
        if (now - kept.stamp > kKeepSeconds) return true;
        return std::all_of(jobs.begin(), jobs.end(), [&](const WorkerThread* job) { return kept.SeenBy(job); });
    });
}

void LocalAnnouncements::ForgetJob(const WorkerThread* job) {
    for (KeptAnnouncement& kept : kept_) std::erase(kept.seenBy, job);
}

void LocalAnnouncements::CloseAll() {
    channel_.reset();
    kept_.clear();
}

}  // namespace veldmoor
