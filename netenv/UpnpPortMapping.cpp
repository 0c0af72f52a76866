#include "netenv/UpnpPortMapping.h"

#include <algorithm>
#include <array>
#include <random>
#include <utility>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EventCodes.h"
#include "foundation/EventSink.h"
#include "platform/IpAddress.h"
#include "netenv/MiniupnpcGateway.h"
#include "platform/Clock.h"

namespace veldmoor {
namespace {

constexpr int32_t kLogChannel = 3;
constexpr int kCandidateSpread = 10000;
constexpr std::array<int, 8> kExcludedPorts = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};

// The process-wide log, looked up at every line: the controller deletes it at
// exit before this object (and its workers) are gone.
class ProcessWideLog final : public CVeldmoorLog {
public:
    void SetLevels(int32_t fileThreshold, int32_t debuggerThreshold) override {
        VeldmoorLog().SetLevels(fileThreshold, debuggerThreshold);
    }
    void SetBasePath(const std::string& basePath) override { VeldmoorLog().SetBasePath(basePath); }
    void Write(const std::string& text, int32_t channel, int32_t level) override {
        VeldmoorLog().Write(text, channel, level);
    }
    // The mapping writes lines only; a variadic call cannot be passed on.
    void Debug(const char*, ...) override {}
};

CVeldmoorLog& ProcessWideLogForwarder() {
    static ProcessWideLog log;
    return log;
}

}  // namespace

bool IsExcludedPort(int port) {
    return std::find(kExcludedPorts.begin(), kExcludedPorts.end(), port) != kExcludedPorts.end();
}

int FirstCandidatePort(uint32_t randomValue) {
    int port = kLowestListeningPort + static_cast<int>(randomValue % kCandidateSpread) + 1;
    while (IsExcludedPort(port)) ++port;
    return port;
}

int NextCandidatePort(int port) {
    do {
        ++port;
        if (port < kLowestListeningPort || port > kHighestListeningPort) port = kLowestListeningPort;
    } while (IsExcludedPort(port));
    return port;
}

int ChooseListeningPort(int start, const std::function<bool(int)>& portInUse) {
    int candidate = start;
    do {
        if (!portInUse(candidate)) return candidate;
        candidate = NextCandidatePort(candidate);
    } while (candidate != start);
    return 0;
}

void EngineNotificationQueue::PostNotification(int code, int32_t result) {
    std::lock_guard lock(lock_);
    waiting_.push_back({code, result});
}

std::vector<EngineNotificationQueue::Notification> EngineNotificationQueue::TakeAll() {
    std::lock_guard lock(lock_);
    return std::exchange(waiting_, {});
}

UpnpPortMapping::UpnpPortMapping(IEventSink& events)
    : UpnpPortMapping(events, ProcessWideLogForwarder(), std::make_unique<SystemLocalNetwork>(),
                      std::make_unique<MiniupnpcGateway>()) {}

UpnpPortMapping::UpnpPortMapping(IEventSink& events, CVeldmoorLog& log, std::unique_ptr<ILocalNetwork> network,
                                 std::unique_ptr<IUpnpGateway> gateway)
    : events_(events),
      log_(log),
      network_(std::move(network)),
      gateway_(std::move(gateway)),
      engine_(*gateway_, events, log) {}

UpnpPortMapping::~UpnpPortMapping() = default;

int UpnpPortMapping::SetUpPortMapping() {
    std::minstd_rand random(static_cast<uint32_t>(platform::CalendarSeconds()));
    const int port = ChooseListeningPort(FirstCandidatePort(static_cast<uint32_t>(random())),
                                         [this](int candidate) { return PortInUse(candidate); });
    if (port == 0) {
        Report(kEventPortMappingFailed, "没有可用的端口，uPnP失败");
        return 0;
    }
    const std::optional<Ipv4Address> localAddress = LocalAddress();
    if (!localAddress) {
        Report(kEventPortMappingFailed, "无法获取本地ip，uPnP失败");
        return 0;
    }
    const std::string address = localAddress->Text();
    if (!localAddress->IsPrivate()) {
        Report(kEventPortMappingNotNeeded, "无需uPnP：本机直通外网" + address);
        return port;
    }

    deviceFound_ = true;
    searchDone_.Reset();
    if (!engine_.StartDeviceSearch(&queue_, address)) {
        Report(kEventPortMappingFailed, "IGD设备信息线程创建失败");
        return 0;
    }
    Log("IGD设备信息线程已创建");

    PortMappingRequest request;
    request.externalPort = std::to_string(port);
    request.protocol = "TCP";
    request.internalClient = address;
    request.internalPort = std::to_string(port);
    request.enabled = "Yes";
    request.description = kDescription;
    if (!engine_.StartMapping(request, &queue_, &searchDone_)) {
        Report(kEventPortMappingFailed, "uPnP线程创建失败");
        return 0;
    }
    Log("uPnP线程已创建");
    return port;
}

void UpnpPortMapping::DeliverNotifications() {
    const auto notifications = queue_.TakeAll();
    // After the exit's removal, late news of the mapping is no longer true.
    if (removed_) return;
    for (const auto& notification : notifications) OnEngineNotification(notification.code, notification.result);
    RenewLeaseWhenDue();
}

void UpnpPortMapping::RemoveMapping() {
    removed_ = true;
    renewalFromTick_.reset();
    engine_.StopWorkers();
    if (engine_.AddedMappingLease()) engine_.RemoveAddedMapping();
    mapped_ = false;
}

void UpnpPortMapping::OnEngineNotification(int code, int32_t result) {
    switch (code) {
        case kDeviceSearchFinished: OnDeviceSearchFinished(result); break;
        case kMappingFinished: OnMappingFinished(result); break;
        case kLeaseRenewalFinished: OnLeaseRenewalFinished(result); break;
        default: break;  // progress only
    }
}

void UpnpPortMapping::OnDeviceSearchFinished(int32_t result) {
    if (result == kNotifySuccess) device_ = engine_.CopyDeviceInformation();
    // A failed search found no device either; the mapping's failure text must
    // not claim one.
    if (result != kNotifySuccess || device_.FriendlyName().empty()) {
        deviceFound_ = false;
        Log("NAT device ^Not^ found..");
    } else {
        deviceFound_ = true;
        Log("NAT Device found : Name : <" + device_.FriendlyName() + ">");
    }
    searchDone_.Set();
}

void UpnpPortMapping::OnMappingFinished(int32_t result) {
    if (result != kNotifySuccess) {
        Report(kEventPortMappingFailed, deviceFound_ ? "IGD设备已找到，但是uPnP依然失败" : "uPnP失败，因为没有IGD设备信息");
        return;
    }
    mapped_ = true;
    Log("uPnP成功");
    events_.SimpleEvent(kEventPortMapped, "", "");
    const std::optional<uint32_t> lease = engine_.AddedMappingLease();
    if (lease && *lease > 0) ScheduleRenewal(*lease * 1000 / 2);
}

void UpnpPortMapping::OnLeaseRenewalFinished(int32_t result) {
    const std::optional<uint32_t> lease = engine_.AddedMappingLease();
    if (removed_ || !lease) return;
    if (result == kNotifySuccess) {
        Log("uPnP: lease renewed");
        if (*lease > 0) ScheduleRenewal(*lease * 1000 / 2);
        return;
    }
    Log("uPnP: lease renewal failed");
    ScheduleRenewal(kRenewalRetryMs);
}

void UpnpPortMapping::ScheduleRenewal(uint32_t delayMs) {
    renewalFromTick_ = platform::TickMs();
    renewalDelayMs_ = delayMs;
}

void UpnpPortMapping::RenewLeaseWhenDue() {
    if (removed_ || !renewalFromTick_) return;
    if (platform::TickMs() - *renewalFromTick_ < renewalDelayMs_) return;
    if (engine_.StartLeaseRenewal(&queue_)) renewalFromTick_.reset();
}

bool UpnpPortMapping::PortInUse(int port) { return network_->PortInUse(port); }

std::optional<Ipv4Address> UpnpPortMapping::LocalAddress() { return network_->LocalAddress(); }

void UpnpPortMapping::Report(const std::string& code, const std::string& text) {
    Log(text);
    events_.SimpleEvent(code, "", text);
}

void UpnpPortMapping::Log(const std::string& text) { log_.Write(text, kLogChannel, kLogChannel); }

}  // namespace veldmoor
