#pragma once
// Finding peers on the local network: 56-byte announcements sent to a
// multicast group, and the engine-wide list of announcements that were for
// another job. The engine-wide part lives in EngineState and is touched only
// under the job-list lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/IncomingConnections.h"
#include "peers/TPeerId.h"

namespace veldmoor {

class WorkerThread;

inline constexpr uint16_t kDiscoveryPort = 31576;
inline constexpr size_t kAnnouncementBytes = 56;
// 233.65.31.78.
Ipv4Address DiscoveryGroup();
// ff15::e941:1f4e: the same group bytes in a transient, site-scoped IPv6
// group. The announcement is the same; its address field stays IPv4 (0 when
// none) and the candidate takes the datagram's sender.
IpAddress DiscoveryGroupV6();

struct Announcement {
    Ipv4Address address;  // the sender's local IPv4 address
    uint16_t port = 0;     // its listening port
    bool reply = false;    // a query asks the others to answer
    InfoHash infoHash{};
    PeerIdentity peerId{};
};

std::array<uint8_t, kAnnouncementBytes> EncodeAnnouncement(const Announcement& announcement);
// Nothing for fewer than 56 bytes or a first word other than 0; bytes after
// the 56th are ignored.
std::optional<Announcement> DecodeAnnouncement(const uint8_t* data, size_t size);

struct ReceivedDatagram {
    IpAddress sender;
    std::vector<uint8_t> bytes;
};

// The socket the announcements travel on.
class IAnnouncementChannel {
public:
    enum class Received { kNothing, kDatagram, kFailed };

    virtual ~IAnnouncementChannel() = default;
    // False when the socket failed; the channel is then closed.
    virtual bool SendToGroup(const uint8_t* data, size_t size) = 0;
    // Never waits.
    virtual Received Receive(ReceivedDatagram& datagram) = 0;
};

// A UDP socket per family bound to the discovery port on every local address
// and joined to that family's group, where the network has multicast of that
// family; null when neither can be opened.
std::unique_ptr<IAnnouncementChannel> OpenMulticastChannel();

// An announcement for a job other than the one that read it, kept for the
// others to find.
struct KeptAnnouncement {
    Announcement announcement;
    IpAddress sender;
    int64_t stamp = 0;  // job clock
    std::vector<const WorkerThread*> seenBy;

    bool SeenBy(const WorkerThread* job) const;
};

class LocalAnnouncements {
public:
    using ChannelOpener = std::function<std::unique_ptr<IAnnouncementChannel>()>;

    // Remote parties choose what is announced, so the list is bounded.
    static constexpr size_t kCapacity = 256;
    static constexpr int64_t kKeepSeconds = 30;

    LocalAnnouncements();

    IAnnouncementChannel* Channel() const { return channel_.get(); }
    // Opens the channel unless it is open; false when it cannot be.
    bool EnsureChannel();
    void CloseChannel() { channel_.reset(); }
    // Tests talk over a channel of their own; null restores the multicast socket.
    void SetChannelOpener(ChannelOpener opener);

    std::vector<KeptAnnouncement>& Kept() { return kept_; }
    // Kept unless one with the same identity is there or the list is full.
    void Keep(const Announcement& announcement, const IpAddress& sender, int64_t now, const WorkerThread* seenBy);
    // Drops those older than 30 s and those every live job has seen.
    void Expire(int64_t now, const std::vector<WorkerThread*>& jobs);
    // A job that goes away stops counting as having seen anything.
    void ForgetJob(const WorkerThread* job);
    void CloseAll();

private:
    ChannelOpener opener_;
    std::unique_ptr<IAnnouncementChannel> channel_;
    std::vector<KeptAnnouncement> kept_;
};

}  // namespace veldmoor
