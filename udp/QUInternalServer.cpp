#include "udp/QUInternalServer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "foundation/CVeldmoorLog.h"

namespace veldmoor::udp {
namespace {

std::mutex& SingletonMutex() {
    static std::mutex mutex;
    return mutex;
}
QUInternalServer*& SingletonPointer() {
    static QUInternalServer* server = nullptr;
    return server;
}

constexpr uint32_t kRetransmitPeriodMs = 40;
constexpr uint32_t kAckPeriodMs = 20;
constexpr int64_t kMaintenancePeriodSeconds = 3;
constexpr int64_t kRegistrationPeriodSeconds = 300;
constexpr int kMinKeepAliveSeconds = 10;
constexpr uint32_t kOpenRetryMs = 1000;
constexpr uint32_t kIdleSleepMs = 10;
constexpr uint32_t kLongIdleSleepMs = 40;
constexpr uint32_t kBurstPauseMs = 2;
constexpr int kLongIdleTurns = 4;
constexpr int64_t kFirstRegisterRetrySeconds = 2;

}  // namespace

QUInternalServer::QUInternalServer(UdpEnvironment environment)
    : environment_(std::move(environment)), clock_(*environment_.clock) {
    nextSessionId_ = static_cast<int32_t>((clock_.TickMs() & 0x3FFFFFFFu) | 1u);
}

QUInternalServer::~QUInternalServer() {
    Stop(true);
    ScopedLock lock(Lock());
    CloseSocketLocked();
}

QUInternalServer* QUInternalServer::Instance() {
    std::lock_guard guard(SingletonMutex());
    QUInternalServer*& server = SingletonPointer();
    if (!server) {
        server = new QUInternalServer(SystemUdpEnvironment());
        server->SetDisabled(true);
    }
    return server;
}

QUInternalServer* QUInternalServer::Existing() {
    std::lock_guard guard(SingletonMutex());
    return SingletonPointer();
}

QUInternalServer* QUInternalServer::Exchange(QUInternalServer* server) {
    std::lock_guard guard(SingletonMutex());
    std::swap(server, SingletonPointer());
    return server;
}

void QUInternalServer::Shutdown() {
    QUInternalServer* server = nullptr;
    {
        std::lock_guard guard(SingletonMutex());
        std::swap(server, SingletonPointer());
    }
    if (!server) return;
    if (server->IsRunning()) {
        server->Stop(true);
        server->Cleanup();
    }
    delete server;
    VeldmoorLog().Write("UDPServer Thread Stopped.. ", 22, 22);
}

int QUInternalServer::Configure(const UdpServerConfig& config) {
    if (config.natServerHost.empty() || !IsUsablePort(config.natServerPort) || !IsUsablePort(config.localPort) ||
        config.sessionTimeoutSeconds <= 0) {
        return -1;
    }
    ScopedLock lock(Lock());
    localIp_ = config.localIp;
    localPort_ = config.localPort;
    natHost_ = config.natServerHost.substr(0, 127);
    natPort_ = config.natServerPort;
    keepAliveSeconds_ = std::max(config.keepAliveSeconds, kMinKeepAliveSeconds);
    timeoutSeconds_ = config.sessionTimeoutSeconds;
    identity_ = MakeOwnIdentity(config.nodeKey);
    configured_ = true;
    return 0;
}

int QUInternalServer::Startup(int /*version*/, const UdpServerConfig& config) {
    if (config.natServerHost.empty() || !IsUsablePort(config.natServerPort) || !IsUsablePort(config.localPort) ||
        config.sessionTimeoutSeconds <= 0) {
        return -1;
    }
    if (IsRunning()) return 0;
    if (Configure(config) != 0) return -1;
    return Start("UDPServer") ? 0 : -1;
}

void QUInternalServer::SetLocalAddress(uint32_t ip, int32_t port) {
    ScopedLock lock(Lock());
    if (ip == localIp_ && port == localPort_) return;
    if (IsUsableIp(ip)) localIp_ = ip;
    if (IsUsablePort(port)) localPort_ = port;
}

uint32_t QUInternalServer::PublicAddress() {
    ScopedLock lock(Lock());
    return publicIp_ == 0 ? 0xFFFFFFFFu : publicIp_;
}

int32_t QUInternalServer::PublicPort() {
    ScopedLock lock(Lock());
    return publicPort_;
}

bool QUInternalServer::BehindNat() {
    ScopedLock lock(Lock());
    return publicIp_ != localIp_;
}

bool QUInternalServer::Answered() {
    ScopedLock lock(Lock());
    return answered_;
}

EndpointIdentity QUInternalServer::OwnIdentity() {
    ScopedLock lock(Lock());
    return identity_;
}

uint32_t QUInternalServer::LocalAddress() {
    ScopedLock lock(Lock());
    return localIp_;
}

int32_t QUInternalServer::LocalPort() {
    ScopedLock lock(Lock());
    return localPort_;
}

void QUInternalServer::SetDisabled(bool disabled) { disabled_.store(disabled); }

void QUInternalServer::Cleanup() {
    ScopedLock lock(Lock());
    for (SessionList* list : {&allSockets_, &boundSockets_, &acceptQueue_, &punchList_}) {
        for (auto& session : *list) FreeWindows(*session);
        list->clear();
    }
    freePool_.clear();
    pool_.TrimFree();
    publicIp_ = 0;
    lookupBatchLength_ = 0;
}

// Socket

bool QUInternalServer::OpenSocket(bool force) {
    ScopedLock lock(Lock());
    return OpenSocketLocked(force);
}

bool QUInternalServer::OpenSocketLocked(bool force) {
    IDatagramChannel& channel = *environment_.channel;
    if (channel.IsOpen() && !force) return true;
    if (!IsUsableIp(localIp_) && environment_.machineAddress) localIp_ = environment_.machineAddress();
    channel.Close();
    if (!channel.Open(static_cast<uint16_t>(localPort_))) {
        if (channel.LastError() != 0) {
            char line[96];
            std::snprintf(line, sizeof(line), "socket bind error : Last Error(%lu)",
                          static_cast<unsigned long>(channel.LastError()));
            VeldmoorLog().Write(line, 7, 7);
        }
        publicIp_ = 0;
        return false;
    }
    // A new port is a new address at the NAT router: the NAT server must learn it now.
    if (boundPort_ != 0 && boundPort_ != localPort_) lastRegistration_ = 0;
    boundPort_ = static_cast<uint16_t>(localPort_);
    return true;
}

void QUInternalServer::CloseSocketLocked() { environment_.channel->Close(); }

bool QUInternalServer::ResolveNatServer() {
    std::string host;
    {
        ScopedLock lock(Lock());
        host = natHost_;
    }
    const uint32_t ip = environment_.resolve ? environment_.resolve(host) : 0;
    ScopedLock lock(Lock());
    natIp_ = ip;
    return IsUsableIp(ip);
}

SendResult QUInternalServer::SendRaw(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port) {
    return environment_.channel->Send(bytes, length, ip, static_cast<uint16_t>(port));
}

bool QUInternalServer::SendDatagram(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port) {
    ScopedLock lock(Lock());
    return SendLocked(bytes, length, ip, port);
}

bool QUInternalServer::SendLocked(const uint8_t* bytes, size_t length, uint32_t ip, int32_t port, SendResult* result) {
    SendResult ignored;
    SendResult& outcome = result ? *result : ignored;
    outcome = SendResult::kFailed;
    if (!bytes || length == 0 || length > kMaxDatagram || ip == 0 || !IsUsablePort(port)) return false;
    if (!environment_.channel->IsOpen() && !OpenSocketLocked(false)) return false;
    outcome = SendRaw(bytes, length, ip, port);
    if (outcome == SendResult::kSent) return true;
    if (outcome == SendResult::kWouldBlock) return false;
    CloseSocketLocked();
    if (!OpenSocketLocked(true)) return false;
    outcome = SendRaw(bytes, length, ip, port);
    return outcome == SendResult::kSent;
}

// Loop

long QUInternalServer::ReceiveOne() {
    ScopedLock lock(Lock());
    uint32_t ip = 0;
    uint16_t port = 0;
    IDatagramChannel& channel = *environment_.channel;
    if (!channel.IsOpen()) return -1;
    const long length = channel.Receive(receiveBuffer_.data(), receiveBuffer_.size(), &ip, &port);
    if (length < 0) {
        CloseSocketLocked();
        return -1;
    }
    if (length == 0) return 0;
    const size_t size = std::min(static_cast<size_t>(length), receiveBuffer_.size());
    // Bencoded dictionaries are DHT traffic; this node runs none.
    if (size > 8 && receiveBuffer_[0] == 'd') return length;
    if (!disabled_.load()) HandleDatagram(receiveBuffer_.data(), size, ip, port);
    return length;
}

void QUInternalServer::Run() {
    OpenSocket(true);
    while (!ResolveNatServer()) {
        if (CheckStop() || WaitSeconds(30) != 0) {
            ScopedLock lock(Lock());
            CloseSocketLocked();
            return;
        }
    }
    int burst = 0;
    int idle = 0;
    while (!CheckStop()) {
        if (disabled_.load()) {
            WaitWhileDisabled();
            continue;
        }
        LoopTurn(burst, idle);
    }
    ScopedLock lock(Lock());
    CloseSocketLocked();
}

void QUInternalServer::WaitWhileDisabled() {
    {
        ScopedLock lock(Lock());
        CloseSocketLocked();
        publicIp_ = 0;
    }
    while (disabled_.load() && !StopRequested()) clock_.SleepMs(100);
    if (StopRequested()) return;
    ScopedLock lock(Lock());
    lastRegistration_ = 0;
    lastKeepAlive_ = 0;
    answered_ = false;
}

void QUInternalServer::LoopTurn(int& burst, int& idle) {
    bool open;
    {
        ScopedLock lock(Lock());
        open = (environment_.channel->IsOpen() && boundPort_ == localPort_) || OpenSocketLocked(true);
    }
    if (!open) {
        clock_.SleepMs(kOpenRetryMs);
        return;
    }
    const long length = ReceiveOne();
    if (length > 0) {
        idle = 0;
        if (length <= 8) return;
        if (++burst < kBurstLength) return;
    } else if (length < 0) {
        if (!OpenSocket(true)) {
            clock_.SleepMs(kOpenRetryMs);
            return;
        }
        clock_.SleepMs(kBurstPauseMs);
    } else {
        if (burst == 0) IdleWait(kIdleSleepMs);
        ++idle;
    }
    if (!disabled_.load()) RunTimers();
    if (idle >= kLongIdleTurns) IdleWait(kLongIdleSleepMs);
    if (burst >= kBurstLength) clock_.SleepMs(kBurstPauseMs);
    burst = 0;
}

// An idle turn waits for the next datagram rather than sleeping blind: a
// peer's packet is handled when it comes, not up to 50 ms later.
void QUInternalServer::IdleWait(uint32_t ms) {
    if (environment_.channel->WaitReadable(ms) < 0) clock_.SleepMs(ms);
}

void QUInternalServer::RunTimers() {
    ScopedLock lock(Lock());
    const uint32_t tick = clock_.TickMs();
    if (tick - lastRetransmitTick_ >= kRetransmitPeriodMs) {
        RetransmissionPass();
        lastRetransmitTick_ = lastAckTick_ = clock_.TickMs();
    } else if (tick - lastAckTick_ >= kAckPeriodMs || dataSinceAckPass_) {
        AcknowledgementPass();
        lastAckTick_ = clock_.TickMs();
    }
    const int64_t now = clock_.WallSeconds();
    if (std::llabs(now - lastMaintenance_) >= kMaintenancePeriodSeconds) {
        MaintenancePass();
        lastMaintenance_ = clock_.WallSeconds();
    }
    if (std::llabs(now - lastRegistration_) >= kRegistrationPeriodSeconds) {
        SendRegister();
        lastRegistration_ = now;
        lastKeepAlive_ = now;
        registerRetrySeconds_ = kFirstRegisterRetrySeconds;
        pool_.TrimIfIdle();
    } else if (!answered_ && now - lastRegistration_ >= registerRetrySeconds_) {
        // One lost datagram must not leave this node unknown to its peers for
        // a whole keep-alive period: ask again after 2, 4, 8... seconds.
        SendRegister();
        lastRegistration_ = now;
        registerRetrySeconds_ = std::min(registerRetrySeconds_ * 2, int64_t{keepAliveSeconds_});
    }
    if (std::llabs(now - lastKeepAlive_) >= keepAliveSeconds_) {
        if (BehindNat()) SendNatKeepAlive();
        lastKeepAlive_ = now;
    }
    if (now != lastLookupRetrySecond_) {
        LookupRetryPass();
        lastLookupRetrySecond_ = now;
    }
    if (lookupBatchLength_ > 0 && now != lastBatchSecond_) {
        SendLookupBatch();
        lastBatchSecond_ = now;
    }
}

// Dispatch

void QUInternalServer::HandleDatagram(const uint8_t* bytes, size_t length, uint32_t ip, uint16_t port) {
    ScopedLock lock(Lock());
    if (length == kAddressReportSize) {
        if (FromNatServer(ip, port)) HandleAddressReport(bytes);
        return;
    }
    if (length < 32 || length > kMaxDatagram) return;
    const uint32_t tag = GetU32(bytes);
    const auto signedTag = static_cast<int32_t>(tag);
    if (length == kIntroduceSize && tag == kIntroduceTag) {
        if (FromNatServer(ip, port) && publicIp_ != localIp_) HandleIntroduce(bytes);
        return;
    }
    if (tag == 0 && length == kPunchSize && AllZero(bytes, 20) && std::memcmp(bytes + 20, identity_.data(), 8) == 0) {
        HandlePunch(bytes, ip, port);
        return;
    }
    if (length < kHeaderSize) return;
    if (signedTag <= 0) {
        if (FromNatServer(ip, port)) HandleLookupReply(bytes, length);
        return;
    }
    HandleSessionPacket(bytes, length, ip, port);
}

bool QUInternalServer::FromNatServer(uint32_t ip, uint16_t port) const {
    return natIp_ != 0 && ip == natIp_ && port == natPort_;
}

// Readiness

void QUInternalServer::WatchReadiness(platform::WakeEvent* event) {
    ScopedLock lock(Lock());
    if (event && std::find(readinessWatchers_.begin(), readinessWatchers_.end(), event) == readinessWatchers_.end())
        readinessWatchers_.push_back(event);
}

void QUInternalServer::UnwatchReadiness(platform::WakeEvent* event) {
    ScopedLock lock(Lock());
    std::erase(readinessWatchers_, event);
}

void QUInternalServer::SignalReadiness() {
    for (platform::WakeEvent* event : readinessWatchers_) event->Raise();
}

// Inspection

size_t QUInternalServer::PunchEntries() {
    ScopedLock lock(Lock());
    return punchList_.size();
}

size_t QUInternalServer::AcceptQueueLength() {
    ScopedLock lock(Lock());
    return acceptQueue_.size();
}

size_t QUInternalServer::OutstandingLookups() {
    ScopedLock lock(Lock());
    return outstandingLookups_.size();
}

int32_t QUInternalServer::RequestCounter() {
    ScopedLock lock(Lock());
    return requestCounter_;
}

}  // namespace veldmoor::udp
