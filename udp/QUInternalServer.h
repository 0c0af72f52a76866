#pragma once
// The engine's one UDP socket and everything carried over it: registration
// with the NAT server, look-ups and introductions (rendezvous), and the
// sessions of the UDP stream transport with their socket-like operations.
//
// One thread ("UDPServer") runs the receive loop and the timed passes. Every
// operation, called from any job thread, holds the thread's lock; the loop
// releases it only around sleeps and reopening the socket.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/WorkerThread.h"
#include "platform/Socket.h"
#include "platform/WakeEvent.h"
#include "udp/UdpBufferPool.h"
#include "udp/UdpEnvironment.h"
#include "udp/UdpSession.h"
#include "udp/UdpWire.h"

namespace veldmoor::udp {

struct UdpServerConfig {
    std::string natServerHost;
    int32_t natServerPort = 82;
    int32_t keepAliveSeconds = 52;
    int32_t sessionTimeoutSeconds = 30;
    int32_t localPort = 8000;
    uint32_t localIp = 0;  // network order; 0: not known
    NodeKey nodeKey{};
};

// The transport's own error codes; callers see them through LastError().
enum UdpError : int {
    kUdpOk = 0,
    kUdpInterrupted = 10004,
    kUdpInvalidArgument = 10022,
    kUdpWouldBlock = 10035,
    kUdpNotSocket = 10038,
    kUdpAddressInUse = 10048,
    kUdpNetworkUnreachable = 10051,
    kUdpNotConnected = 10057,
    kUdpNotStarted = 10093,
};

// Address of a transport endpoint: IPv4 in network order, port in host
// order, and the peer's node key in the padding bytes.
struct UdpAddress {
    uint32_t address = 0;
    uint16_t port = 0;
    std::array<uint8_t, 8> padding{};
};

// What tests and diagnostics may see of a session.
struct SessionInfo {
    SessionState state = SessionState::kFresh;
    int32_t id = 0;
    int32_t remoteSessionId = 0;
    uint32_t remoteIp = 0;
    int32_t remotePort = 0;
    int32_t servicePort = 0;
    uint32_t nonce = 0;
    int32_t lookupRequest = -1;
    int32_t sendBase = 0;
    int32_t sendCount = 0;
    int32_t receiveBase = 0;
    int32_t peerSendBase = 0;
    int32_t packetsSent = 0;
    int32_t packetsResent = 0;
    int32_t bytesAcknowledged = 0;
    std::array<int32_t, kWindow> sendCounts{};
    std::array<bool, kWindow> receiveFilled{};
    bool established = false;
    NodeKey key{};
};

class QUInternalServer final : public WorkerThread {
public:
    static constexpr int kDefaultKeepAliveSeconds = 45;
    static constexpr int kDefaultTimeoutSeconds = 18;
    static constexpr int kDefaultBacklog = 32;
    static constexpr int kMaxBacklog = 4096;
    static constexpr size_t kMaxPunchEntries = 512;
    static constexpr size_t kMaxFreeSessions = 256;
    static constexpr size_t kMaxOutstandingLookups = 2048;
    static constexpr size_t kLookupBatchSendLength = 256;
    static constexpr int32_t kMaxLookupEntryIndex = 12;
    static constexpr int kBurstLength = 18;
    static constexpr int kSocketBufferBytes = 131072;
    // A packet the peer reported missing behind later ones is sent again at
    // once, but not more often than this (both copies of one ACK ask once).
    static constexpr uint32_t kHoleResendMs = 10;
    // The next packet the peer expects, still missing this long after it was sent.
    static constexpr uint32_t kFirstMissingResendMs = 500;
    // While packets wait behind a hole, the receiver says so this often.
    static constexpr uint32_t kHoleAckIntervalMs = 100;
    // A packet sent by the caller's send is stamped this much in the past.
    static constexpr uint32_t kSendTimeLeadMs = 5;
    // The oldest packet not acknowledged after a few measured round trips is
    // sent again (its data or the peer's acknowledgement was lost), at most
    // this many times; after that the slow schedule goes on.
    static constexpr uint32_t kMinProbeMs = 60;
    static constexpr int32_t kMaxProbes = 4;
    // A connection whose LOOKUP went unanswered, was answered with nobody, or
    // whose handshake got no answer asks the NAT server again after 2, 4, 8,
    // then every 8 seconds; a second LOOKUP also makes the server introduce
    // us to the peer again. One lost datagram costs seconds, not the time-out.
    static constexpr int64_t kFirstLookupRetrySeconds = 2;
    static constexpr int64_t kLongestLookupRetrySeconds = 8;
    // Answers naming nobody before the connection fails: the peer may have
    // registered a moment after we asked (its REGISTER was lost and is sent
    // again after 2, 4, 8 s).
    static constexpr int32_t kMaxEmptyLookupAnswers = 4;

    explicit QUInternalServer(UdpEnvironment environment);
    ~QUInternalServer() override;

    // The process's server, made with the system's environment on first call.
    static QUInternalServer* Instance();
    // Stops and deletes the process's server, if any.
    static void Shutdown();
    // The process's server when one exists; never makes one.
    static QUInternalServer* Existing();
    // Makes `server` the process's server and returns the one before. The
    // caller keeps ownership of both (tests drive callers of Instance() over
    // a server of their own); it puts the previous one back before deleting.
    static QUInternalServer* Exchange(QUInternalServer* server);

    // -1 for an unusable configuration or a thread that cannot start; a
    // running server keeps its settings.
    int Startup(int version, const UdpServerConfig& config);
    // Validates and takes the configuration without starting the thread.
    int Configure(const UdpServerConfig& config);
    void SetLocalAddress(uint32_t ip, int32_t port);
    bool SendDatagram(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port);
    // The address the NAT server sees, or all ones when none is known.
    uint32_t PublicAddress();
    int32_t PublicPort();
    bool BehindNat();
    bool Answered();
    void Cleanup();
    // While disabled nothing is received and the socket stays closed.
    void SetDisabled(bool disabled);
    bool Disabled() const { return disabled_.load(); }
    EndpointIdentity OwnIdentity();
    uint32_t LocalAddress();
    int32_t LocalPort();

    void Run() override;
    void Refresh() override {}

    // The loop's steps; the thread calls them, and tests drive them directly.
    bool OpenSocket(bool force);
    bool ResolveNatServer();
    // Receives and dispatches one datagram: its length, 0 when none, -1 on error.
    long ReceiveOne();
    void HandleDatagram(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port);
    void RunTimers();
    void RetransmissionPass();
    void AcknowledgementPass();
    void MaintenancePass();
    void SendLookupBatch();
    // Asks again for every outgoing connection whose look-up or handshake is overdue.
    void LookupRetryPass();

    // Socket-like operations of the stream transport. Failures return -1 and
    // leave a code for LastError().
    int UdpSocket();
    int UdpBind(int handle, const UdpAddress& address);
    int UdpListen(int handle, int backlog);
    int UdpAccept(int handle, UdpAddress* peer);
    int UdpConnect(int handle, const UdpAddress& address);
    int UdpSend(int handle, const uint8_t* bytes, int length);
    int UdpRecv(int handle, uint8_t* buffer, int length);
    int UdpGetSockName(int handle, UdpAddress* address);
    // Rewrites each given set to its handles that qualify; the total of them.
    // A negative time-out waits until one qualifies or a stop is requested.
    int UdpSelect(std::vector<int>* readable, std::vector<int>* writable, std::vector<int>* failed, int timeoutMs);
    int UdpClose(int handle);
    static int LastError();

    // Raised whenever a session may have become readable, writable or ended
    // (data in order, packets acknowledged, handshake done, closed), so a
    // waiting thread turns at once instead of at its next pause.
    void WatchReadiness(platform::WakeEvent* event);
    void UnwatchReadiness(platform::WakeEvent* event);

    std::optional<SessionInfo> Inspect(int handle);
    size_t PunchEntries();
    size_t AcceptQueueLength();
    size_t OutstandingLookups();
    int32_t RequestCounter();

private:
    using SessionList = std::vector<std::unique_ptr<UdpSession>>;

    // Loop
    bool OpenSocketLocked(bool force);
    void CloseSocketLocked();
    void WaitWhileDisabled();
    void LoopTurn(int& burst, int& idle);
    void IdleWait(uint32_t ms);
    bool SendLocked(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port, SendResult* result = nullptr);
    SendResult SendRaw(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port);

    // Rendezvous (UdpRendezvous.cpp)
    void SendRegister();
    void SendNatKeepAlive();
    void HandleAddressReport(const uint8_t* bytes);
    int32_t QueueLookup(uint32_t ip, const UdpSession& session);
    void QueueSessionLookup(UdpSession& session, int64_t now);
    static int64_t LookupRetrySeconds(const UdpSession& session);
    void HandleLookupReply(const uint8_t* bytes, size_t length);
    void ApplyLookupAnswer(const NodeKey& match, const uint8_t* answer);
    void HandleIntroduce(const uint8_t* bytes);
    void BuildPunch(uint8_t* punch, const EndpointIdentity& addressee) const;
    void PunchListPass();
    bool FromNatServer(uint32_t ip, uint16_t port) const;

    // Sessions and their packets (UdpTransport.cpp)
    std::unique_ptr<UdpSession> TakeSession();
    void ReleaseSession(std::unique_ptr<UdpSession> session);
    void FreeWindows(UdpSession& session);
    void FreeSendWindow(UdpSession& session);
    int32_t NewSessionId();
    UdpSession* FindIn(SessionList& list, int handle);
    std::unique_ptr<UdpSession> RemoveFrom(SessionList& list, const UdpSession* session);
    bool SendSessionPacket(UdpSession& session, uint32_t type, uint8_t* packet, size_t length,
                           SendResult* result = nullptr);
    bool SendConnect(UdpSession& session);
    bool SendConnectAck(UdpSession& session);
    bool SendConnectConfirm(UdpSession& session);
    bool SendClose(UdpSession& session);
    bool SendKeepAlive(UdpSession& session);
    SendResult SendAck(UdpSession& session, int copies);
    void SendRefuse(const uint8_t* connect, uint32_t ip, uint16_t port);
    void HandleSessionPacket(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port);
    void HandleConnect(const uint8_t* bytes, uint32_t ip, uint16_t port);
    bool SupersedesExisting(UdpSession& existing, const uint8_t* bytes, bool halfOpen);
    void HandleConnectAck(const uint8_t* bytes, uint32_t ip, uint16_t port);
    void HandleConnectConfirm(const uint8_t* bytes, uint32_t ip, uint16_t port);
    void HandleRefuse(const uint8_t* bytes, uint32_t ip);
    void HandleData(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port);
    void HandleAck(const uint8_t* bytes, uint32_t ip, uint16_t port);
    void HandleDataAck(const uint8_t* bytes, uint32_t ip, uint16_t port);
    void HandleKeepAlive(const uint8_t* bytes, uint32_t ip, uint16_t port);
    void HandleClose(const uint8_t* bytes, uint32_t ip);
    void HandlePunch(const uint8_t* bytes, uint32_t ip, uint16_t port);
    // The established session `id` with that remote end in `list` (the accept
    // queue holds those not yet taken by UdpAccept).
    UdpSession* EstablishedIn(SessionList& list, int32_t id, uint32_t ip, uint16_t port);
    UdpSession* EstablishedWith(int32_t id, uint32_t ip, uint16_t port);
    static void MoveInOrderData(UdpSession& session);
    static void SlideSendWindow(UdpSession& session);
    int WindowSize(UdpSession& session);
    static int LossPercent(const UdpSession& session);
    void AcknowledgePacket(UdpSession& session, int slot);
    void ResendHole(UdpSession& session, int slot, uint32_t sentAtLeastMsAgo);
    // Slides the send window and sends the packets held back beyond the
    // window size that are now inside it.
    void SendHeldPackets(UdpSession& session);
    void SampleRoundTrip(UdpSession& session, int slot);
    void SampleHandshake(UdpSession& session);
    // Transmission orders compared across the counter's wrap.
    static bool SentBefore(uint32_t order, uint32_t other) { return static_cast<int32_t>(order - other) < 0; }
    static uint32_t ProbeDelayMs(const UdpSession& session);
    void ProbeOldest(UdpSession& session);
    bool AcknowledgeSession(UdpSession& session, uint32_t tick);
    void MaintainAcceptQueue(int64_t now);
    void MaintainSessions(int64_t now);
    // False when a send would block and the pass must end.
    bool RetransmitSession(UdpSession& session, uint32_t tick);

    void SignalReadiness();

    // Transport operations (UdpTransportOps.cpp)
    bool Qualifies(int handle, int set);
    int Fail(int code);
    int Succeed(int result);

    UdpEnvironment environment_;
    IUdpClock& clock_;
    std::atomic<bool> disabled_{false};

    // Socket record
    uint16_t boundPort_ = 0;

    uint32_t localIp_ = 0;
    int32_t localPort_ = 8000;
    std::string natHost_;
    uint32_t natIp_ = 0;
    int32_t natPort_ = 82;
    int32_t keepAliveSeconds_ = kDefaultKeepAliveSeconds;
    int32_t timeoutSeconds_ = kDefaultTimeoutSeconds;
    int32_t backlog_ = kDefaultBacklog;
    uint32_t publicIp_ = 0;
    int32_t publicPort_ = 0;
    bool answered_ = false;
    int32_t requestCounter_ = 0;
    std::array<uint8_t, kMaxDatagram> lookupBatch_{};
    size_t lookupBatchLength_ = 0;
    int32_t lookupBatchRequest_ = 0;
    std::vector<int32_t> outstandingLookups_;
    EndpointIdentity identity_{};
    bool configured_ = false;

    SessionList allSockets_;
    SessionList boundSockets_;
    SessionList acceptQueue_;
    SessionList punchList_;
    SessionList freePool_;
    int32_t nextSessionId_ = 1;
    UdpBufferPool pool_;
    std::vector<platform::WakeEvent*> readinessWatchers_;

    // Timer references
    uint32_t lastRetransmitTick_ = 0;
    uint32_t lastAckTick_ = 0;
    int64_t lastMaintenance_ = 0;
    int64_t lastRegistration_ = 0;
    int64_t registerRetrySeconds_ = 2;  // until the NAT server answers a registration
    int64_t lastKeepAlive_ = 0;
    int64_t lastBatchSecond_ = 0;
    int64_t lastLookupRetrySecond_ = 0;
    // Data arrived since the last acknowledgement pass: the next turn acknowledges it
    // instead of waiting for the 20 ms mark.
    bool dataSinceAckPass_ = false;

    std::array<uint8_t, kMaxDatagram> receiveBuffer_{};
};

}  // namespace veldmoor::udp
