#pragma once
// The engine's one UDP socket and everything carried over it, as its callers
// see it: registration with the NAT server, look-ups and introductions
// (RendezvousClient), and the sessions of the UDP stream transport with their
// socket-like operations (StreamTransport), over the socket (UdpSocketLink)
// and the session records (UdpSessionTable).
//
// One thread ("UDPServer") runs the receive loop and the timed passes. Every
// operation, called from any job thread, holds the server's lock while it
// touches a component; the loop lets it go around sleeps and waits.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/WorkerThread.h"
#include "platform/WakeEvent.h"
#include "udp/RendezvousClient.h"
#include "udp/StreamTransport.h"
#include "udp/UdpEnvironment.h"
#include "udp/UdpError.h"
#include "udp/UdpReadiness.h"
#include "udp/UdpSession.h"
#include "udp/UdpSessionTable.h"
#include "udp/UdpSocketLink.h"
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

class QUInternalServer final : public WorkerThread {
public:
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
    // The address and port of the engine's TCP listener; the socket follows
    // the port. An address naming no host or port 0 keeps the one before; an
    // IPv6 address is refused (false): NAT traversal is for IPv4 NATs.
    bool SetLocalAddress(const Endpoint& local);
    // The address the NAT server sees (network order), or all ones when none is known.
    uint32_t PublicAddress();
    int32_t PublicPort();
    bool BehindNat();
    bool Answered();
    void Cleanup();
    // While disabled nothing is received and the socket stays closed.
    void SetDisabled(bool disabled);
    bool Disabled() const { return disabled_.load(); }
    EndpointIdentity OwnIdentity();
    Endpoint LocalEndpoint();

    void Run() override;
    void Refresh() override {}

    // The loop's steps; the thread calls them, and tests drive them directly.
    bool OpenSocket(bool force);
    bool ResolveNatServer();
    // Receives and dispatches one datagram: its length, 0 when none, -1 on error.
    long ReceiveOne();
    void HandleDatagram(const uint8_t* bytes, size_t length, const Endpoint& from);
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
    // Each expects mutex_ held by the caller.
    long ReceiveOneLocked();
    void HandleDatagramLocked(const uint8_t* bytes, size_t length, const Endpoint& from);
    void RunTimersLocked();
    void MaintenancePassLocked();

    void WaitWhileDisabled();
    void LoopTurn(int& burst, int& idle);
    void IdleWait(uint32_t ms);

    std::shared_ptr<IUdpClock> clockOwner_;
    IUdpClock& clock_;
    std::function<uint32_t(const std::string&)> resolve_;
    std::atomic<bool> disabled_{false};

    // Guards everything below. Never held across a sleep, a wait or a name look-up.
    std::mutex mutex_;
    ReadinessWatchers readiness_;
    UdpSocketLink link_;
    UdpSessionTable sessions_;
    StreamTransport transport_;
    RendezvousClient rendezvous_;
    bool configured_ = false;

    // When the loop last ran each pass.
    uint32_t lastRetransmitTick_ = 0;
    uint32_t lastAckTick_ = 0;
    int64_t lastMaintenance_ = 0;

    std::array<uint8_t, kMaxDatagram> receiveBuffer_{};
};

}  // namespace veldmoor::udp
