#include "udp/QUInternalServer.h"

#include <algorithm>
#include <cstdlib>

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
constexpr uint32_t kOpenRetryMs = 1000;
constexpr uint32_t kIdleSleepMs = 10;
constexpr uint32_t kLongIdleSleepMs = 40;
constexpr uint32_t kBurstPauseMs = 2;
constexpr int kBurstLength = 18;
constexpr int kLongIdleTurns = 4;
constexpr int kSelectStepMs = 10;

bool IsUsableConfig(const UdpServerConfig& config) {
    return !config.natServerHost.empty() && IsUsablePort(config.natServerPort) && IsUsablePort(config.localPort) &&
           config.sessionTimeoutSeconds > 0;
}

}  // namespace

QUInternalServer::QUInternalServer(UdpEnvironment environment)
    : clockOwner_(std::move(environment.clock)),
      clock_(*clockOwner_),
      resolve_(std::move(environment.resolve)),
      link_(std::move(environment.channel), std::move(environment.machineAddress)),
      sessions_(clock_),
      transport_(sessions_, link_, clock_, readiness_),
      rendezvous_(link_, sessions_, transport_, clock_, readiness_) {
    link_.OnOpen([this](LinkOpen outcome) { rendezvous_.SocketOpened(outcome); });
}

QUInternalServer::~QUInternalServer() {
    Stop(true);
    std::scoped_lock lock(mutex_);
    link_.Close();
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
    if (!IsUsableConfig(config)) return -1;
    std::scoped_lock lock(mutex_);
    link_.Configure(config.localIp, static_cast<uint16_t>(config.localPort), MakeOwnIdentity(config.nodeKey));
    rendezvous_.Configure(config.natServerHost, static_cast<uint16_t>(config.natServerPort), config.keepAliveSeconds);
    transport_.Configure(config.sessionTimeoutSeconds);
    configured_ = true;
    return 0;
}

int QUInternalServer::Startup(int /*version*/, const UdpServerConfig& config) {
    if (!IsUsableConfig(config)) return -1;
    if (IsRunning()) return 0;
    if (Configure(config) != 0) return -1;
    return Start("UDPServer") ? 0 : -1;
}

bool QUInternalServer::SetLocalAddress(const Endpoint& local) {
    std::scoped_lock lock(mutex_);
    return link_.SetLocalAddress(local);
}

uint32_t QUInternalServer::PublicAddress() {
    std::scoped_lock lock(mutex_);
    const uint32_t ip = WireIp(rendezvous_.Public().address);
    return ip == 0 ? 0xFFFFFFFFu : ip;
}

int32_t QUInternalServer::PublicPort() {
    std::scoped_lock lock(mutex_);
    return rendezvous_.Public().port;
}

bool QUInternalServer::BehindNat() {
    std::scoped_lock lock(mutex_);
    return rendezvous_.BehindNat();
}

bool QUInternalServer::Answered() {
    std::scoped_lock lock(mutex_);
    return rendezvous_.Answered();
}

EndpointIdentity QUInternalServer::OwnIdentity() {
    std::scoped_lock lock(mutex_);
    return link_.Identity();
}

Endpoint QUInternalServer::LocalEndpoint() {
    std::scoped_lock lock(mutex_);
    return link_.Local();
}

void QUInternalServer::SetDisabled(bool disabled) { disabled_.store(disabled); }

void QUInternalServer::Cleanup() {
    std::scoped_lock lock(mutex_);
    sessions_.Clear();
    rendezvous_.Reset();
}

// Socket

bool QUInternalServer::OpenSocket(bool force) {
    std::scoped_lock lock(mutex_);
    return link_.Open(force) != LinkOpen::kFailed;
}

bool QUInternalServer::ResolveNatServer() {
    std::string host;
    {
        std::scoped_lock lock(mutex_);
        host = rendezvous_.NatHost();
    }
    // A name look-up may take seconds: no operation waits for it.
    const uint32_t ip = resolve_ ? resolve_(host) : 0;
    std::scoped_lock lock(mutex_);
    return rendezvous_.SetNatAddress(ip);
}

// Loop

long QUInternalServer::ReceiveOne() {
    std::scoped_lock lock(mutex_);
    return ReceiveOneLocked();
}

long QUInternalServer::ReceiveOneLocked() {
    Endpoint from;
    const long length = link_.Receive(receiveBuffer_.data(), receiveBuffer_.size(), &from);
    if (length <= 0) return length;
    const size_t size = std::min(static_cast<size_t>(length), receiveBuffer_.size());
    // Bencoded dictionaries are DHT traffic; this node runs none.
    if (size > 8 && receiveBuffer_[0] == 'd') return length;
    if (!disabled_.load()) HandleDatagramLocked(receiveBuffer_.data(), size, from);
    return length;
}

void QUInternalServer::Run() {
    OpenSocket(true);
    while (!ResolveNatServer()) {
        if (CheckStop() || WaitSeconds(30) != 0) {
            std::scoped_lock lock(mutex_);
            link_.Close();
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
    std::scoped_lock lock(mutex_);
    link_.Close();
}

void QUInternalServer::WaitWhileDisabled() {
    {
        std::scoped_lock lock(mutex_);
        link_.Close();
        rendezvous_.ForgetPublicAddress();
    }
    while (disabled_.load() && !StopRequested()) clock_.SleepMs(100);
    if (StopRequested()) return;
    std::scoped_lock lock(mutex_);
    rendezvous_.StartOver();
}

void QUInternalServer::LoopTurn(int& burst, int& idle) {
    bool open;
    {
        std::scoped_lock lock(mutex_);
        open = link_.OnLocalPort() || link_.Open(true) != LinkOpen::kFailed;
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
    if (link_.WaitReadable(ms) < 0) clock_.SleepMs(ms);
}

void QUInternalServer::RunTimers() {
    std::scoped_lock lock(mutex_);
    RunTimersLocked();
}

void QUInternalServer::RunTimersLocked() {
    const uint32_t tick = clock_.TickMs();
    if (tick - lastRetransmitTick_ >= kRetransmitPeriodMs) {
        transport_.RetransmissionPass();
        lastRetransmitTick_ = lastAckTick_ = clock_.TickMs();
    } else if (tick - lastAckTick_ >= kAckPeriodMs || transport_.DataSinceAcknowledgement()) {
        transport_.AcknowledgementPass();
        lastAckTick_ = clock_.TickMs();
    }
    const int64_t now = clock_.WallSeconds();
    if (std::llabs(now - lastMaintenance_) >= kMaintenancePeriodSeconds) {
        MaintenancePassLocked();
        lastMaintenance_ = clock_.WallSeconds();
    }
    if (rendezvous_.TimerPass(now)) sessions_.Buffers().TrimIfIdle();
}

void QUInternalServer::RetransmissionPass() {
    std::scoped_lock lock(mutex_);
    transport_.RetransmissionPass();
}

void QUInternalServer::AcknowledgementPass() {
    std::scoped_lock lock(mutex_);
    transport_.AcknowledgementPass();
}

void QUInternalServer::MaintenancePass() {
    std::scoped_lock lock(mutex_);
    MaintenancePassLocked();
}

void QUInternalServer::MaintenancePassLocked() {
    transport_.MaintenancePass();
    rendezvous_.PunchListPass();
}

void QUInternalServer::SendLookupBatch() {
    std::scoped_lock lock(mutex_);
    rendezvous_.SendLookupBatch();
}

void QUInternalServer::LookupRetryPass() {
    std::scoped_lock lock(mutex_);
    rendezvous_.LookupRetryPass();
}

// Dispatch

void QUInternalServer::HandleDatagram(const uint8_t* bytes, size_t length, const Endpoint& from) {
    std::scoped_lock lock(mutex_);
    HandleDatagramLocked(bytes, length, from);
}

void QUInternalServer::HandleDatagramLocked(const uint8_t* bytes, size_t length, const Endpoint& from) {
    if (length == kAddressReportSize) {
        rendezvous_.HandleAddressReport(bytes, from);
        return;
    }
    if (length < 32 || length > kMaxDatagram) return;
    const uint32_t tag = GetU32(bytes);
    if (length == kIntroduceSize && tag == kIntroduceTag) {
        rendezvous_.HandleIntroduce(bytes, from);
        return;
    }
    if (tag == 0 && length == kPunchSize && AllZero(bytes, 20) &&
        std::memcmp(bytes + 20, link_.Identity().data(), 8) == 0) {
        transport_.HandlePunch(bytes, from);
        return;
    }
    if (length < kHeaderSize) return;
    if (static_cast<int32_t>(tag) <= 0) {
        rendezvous_.HandleLookupReply(bytes, length, from);
        return;
    }
    transport_.HandleSessionPacket(bytes, length, from);
}

// Transport operations

int QUInternalServer::LastError() { return LastUdpError(); }

int QUInternalServer::UdpSocket() {
    std::scoped_lock lock(mutex_);
    return transport_.Socket();
}

int QUInternalServer::UdpBind(int handle, const UdpAddress& address) {
    std::scoped_lock lock(mutex_);
    return transport_.Bind(handle, address);
}

int QUInternalServer::UdpListen(int handle, int backlog) {
    const bool running = IsRunning();
    std::scoped_lock lock(mutex_);
    if (!running && !configured_) return FailWith(kUdpNotStarted);
    return transport_.Listen(handle, backlog);
}

int QUInternalServer::UdpAccept(int handle, UdpAddress* peer) {
    std::scoped_lock lock(mutex_);
    if (disabled_.load()) return FailWith(kUdpInvalidArgument);
    return transport_.Accept(handle, peer);
}

int QUInternalServer::UdpConnect(int handle, const UdpAddress& address) {
    std::scoped_lock lock(mutex_);
    if (disabled_.load() || !IsUsableIp(address.address) || address.port == 0) {
        return FailWith(kUdpNetworkUnreachable);
    }
    const int64_t now = clock_.WallSeconds();
    UdpSession* session = transport_.BeginConnect(handle, address, now);
    if (!session) return -1;
    rendezvous_.QueueSessionLookup(*session, now);
    return FailWith(kUdpWouldBlock);
}

int QUInternalServer::UdpSend(int handle, const uint8_t* bytes, int length) {
    std::scoped_lock lock(mutex_);
    if (disabled_.load()) return FailWith(kUdpInvalidArgument);
    return transport_.Send(handle, bytes, length);
}

int QUInternalServer::UdpRecv(int handle, uint8_t* buffer, int length) {
    std::scoped_lock lock(mutex_);
    if (disabled_.load()) return FailWith(kUdpInvalidArgument);
    return transport_.Recv(handle, buffer, length);
}

int QUInternalServer::UdpGetSockName(int handle, UdpAddress* address) {
    std::scoped_lock lock(mutex_);
    return transport_.GetSockName(handle, address);
}

int QUInternalServer::UdpSelect(std::vector<int>* readable, std::vector<int>* writable, std::vector<int>* failed,
                                int timeoutMs) {
    const std::array<std::vector<int>*, 3> sets = {readable, writable, failed};
    constexpr std::array<SelectSet, 3> kinds = {SelectSet::kRead, SelectSet::kWrite, SelectSet::kFail};
    std::array<std::vector<int>, 3> ready;
    int remaining = timeoutMs;
    for (;;) {
        size_t total = 0;
        {
            std::scoped_lock lock(mutex_);
            for (size_t set = 0; set < sets.size(); ++set) {
                ready[set].clear();
                if (!sets[set]) continue;
                for (const int handle : *sets[set]) {
                    if (transport_.Qualifies(handle, kinds[set])) ready[set].push_back(handle);
                }
                total += ready[set].size();
            }
        }
        if (total > 0 || remaining == 0 || (remaining < 0 && StopRequested())) {
            for (size_t set = 0; set < sets.size(); ++set) {
                if (sets[set]) *sets[set] = ready[set];
            }
            return SucceedWith(static_cast<int>(total));
        }
        const int step = remaining < 0 ? kSelectStepMs : std::min(remaining, kSelectStepMs);
        clock_.SleepMs(static_cast<uint32_t>(step));
        if (remaining > 0) remaining -= step;
    }
}

int QUInternalServer::UdpClose(int handle) {
    std::scoped_lock lock(mutex_);
    return transport_.Close(handle);
}

// Readiness

void QUInternalServer::WatchReadiness(platform::WakeEvent* event) {
    std::scoped_lock lock(mutex_);
    readiness_.Watch(event);
}

void QUInternalServer::UnwatchReadiness(platform::WakeEvent* event) {
    std::scoped_lock lock(mutex_);
    readiness_.Unwatch(event);
}

// Inspection

std::optional<SessionInfo> QUInternalServer::Inspect(int handle) {
    std::scoped_lock lock(mutex_);
    return sessions_.Describe(handle);
}

size_t QUInternalServer::PunchEntries() {
    std::scoped_lock lock(mutex_);
    return sessions_.PunchList().size();
}

size_t QUInternalServer::AcceptQueueLength() {
    std::scoped_lock lock(mutex_);
    return sessions_.AcceptQueue().size();
}

size_t QUInternalServer::OutstandingLookups() {
    std::scoped_lock lock(mutex_);
    return rendezvous_.OutstandingLookups();
}

int32_t QUInternalServer::RequestCounter() {
    std::scoped_lock lock(mutex_);
    return rendezvous_.RequestCounter();
}

}  // namespace veldmoor::udp
