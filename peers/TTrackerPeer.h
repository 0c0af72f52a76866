#pragma once
// One announce to one tracker: an HTTP GET with the compact peer list asked
// for, or the connect and announce exchange of a UDP tracker. The peers of
// the answer become BitTorrent candidates of the job; the object then ends
// with activity state 6, which the job takes as a clean end.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "peers/TPeerObject.h"
#include "peers/TrackerProtocol.h"
#include "platform/Socket.h"

namespace veldmoor {

class ITrackerJob;

class TTrackerPeer final : public TPeerObject {
public:
    // An unanswered announce (or UDP connect) goes out again after this long.
    static constexpr int64_t kRepeatSeconds = 11;
    // A tracker that has not answered by then is given up: the job counts a
    // failure and the candidate is free for a later round.
    static constexpr int64_t kGiveUpSeconds = 60;
    static constexpr size_t kDatagramCapacity = 2048;

    TTrackerPeer(IPeerJob* job, int32_t event);
    ~TTrackerPeer() override;

    bool Receive() override;
    bool Flush() override;
    bool RequestBlocks() override;
    void Reset() override;
    bool Open(TPeerId* candidate) override;
    bool IsConnected() const override;
    // A tracker holds no pieces: a finished job still announces.
    bool IsSeed() override { return false; }

    int32_t Event() const { return event_; }
    bool IsUdpTracker() const;
    // The path and query of the HTTP announce; empty until it is sent.
    const std::string& AnnouncePath() const { return announcePath_; }

protected:
    uint64_t OtherBytesSent() const override { return datagramBytesSent_; }
    uint64_t OtherBytesReceived() const override { return datagramBytesReceived_; }

private:
    ITrackerJob* TrackerJob() const;
    void ClearAnnounceState();

    bool OpenHttp();
    bool SendHttpAnnounce();
    bool ReceiveHttp();
    // Applies the answer's counts and adds its peers; the announce is done.
    void TakeAnswer(const AnnounceAnswer& answer);
    void AddPeers(const std::vector<TrackerPeer>& peers);

    bool OpenUdp();
    bool SendUdpConnect();
    bool SendUdpAnnounce();
    bool SendDatagram(const uint8_t* data, size_t size);
    bool ReceiveUdp();
    // False when the datagram ends the step with a failure.
    bool HandleDatagram(const uint8_t* data, size_t size);
    void CloseDatagramSocket();

    const int32_t event_;
    std::string announcePath_;
    std::string response_;  // the HTTP answer so far, or the last datagram
    bool requestQueued_ = false;
    int64_t openedAt_ = 0;
    int64_t lastSend_ = 0;  // 0: nothing sent yet

    platform::SocketHandle datagramSocket_ = platform::kNoSocket;
    uint64_t datagramBytesSent_ = 0;
    uint64_t datagramBytesReceived_ = 0;
    UdpTransactionId connectTransaction_{};
    UdpConnectionId connectionId_{};
    UdpTransactionId announceTransaction_{};
    std::array<uint8_t, kUdpAnnounceRequestSize> announceDatagram_{};
    bool announceBuilt_ = false;
};

}  // namespace veldmoor
