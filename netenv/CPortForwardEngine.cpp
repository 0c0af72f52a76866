#include "netenv/CPortForwardEngine.h"

#include <system_error>
#include <utility>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EventCodes.h"
#include "foundation/EventSink.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace veldmoor {
namespace {

constexpr int32_t kLogChannel = 3;
constexpr char kSearchTimedOut[] = "uPnP失败，获取IGD设备超时";

}  // namespace

CPortForwardEngine::CPortForwardEngine(IUpnpGateway& gateway, IEventSink& events, CVeldmoorLog& log)
    : gateway_(gateway), events_(events), log_(log) {}

CPortForwardEngine::~CPortForwardEngine() { StopWorkers(); }

bool CPortForwardEngine::StartDeviceSearch(IEngineNotificationTarget* target, const std::string& localAddress) {
    return StartWorker(searchThread_, searchRunning_, target,
                       [this, target, localAddress] { RunDeviceSearch(target, localAddress); });
}

bool CPortForwardEngine::StartMapping(const PortMappingRequest& request, IEngineNotificationTarget* target,
                                      ManualResetEvent* event) {
    if (!event) return false;
    {
        std::lock_guard lock(lock_);
        // The mapping worker's own search, when it needs one, looks where the
        // device search looked.
        searchAddress_ = request.internalClient;
    }
    const uint32_t startTick = platform::TickMs();
    return StartWorker(mappingThread_, mappingRunning_, target, [this, request, target, event, startTick] {
        RunMapping(request, target, event, startTick);
    });
}

bool CPortForwardEngine::StartLeaseRenewal(IEngineNotificationTarget* target) {
    {
        std::lock_guard lock(lock_);
        if (!addedRequest_) return false;
    }
    return StartWorker(mappingThread_, mappingRunning_, target, [this, target] { RunLeaseRenewal(target); });
}

bool CPortForwardEngine::StartWorker(std::thread& worker, std::atomic<bool>& running,
                                     IEngineNotificationTarget* target, std::function<void()> body) {
    if (!target || running.load() || stop_.load()) return false;
    if (worker.joinable()) worker.join();
    running = true;
    try {
        worker = std::thread([&running, body = std::move(body)] {
            body();
            running = false;
        });
    } catch (const std::system_error&) {
        running = false;
        return false;
    }
    return true;
}

void CPortForwardEngine::RunDeviceSearch(IEngineNotificationTarget* target, std::string localAddress) {
    platform::NameCurrentThread("DevInfo");
    bool searched = false;
    try {
        target->PostNotification(kDeviceSearchProgress, kSearchStarted);
        target->PostNotification(kDeviceSearchProgress, kFinderCreated);
        GatewaySearch search = gateway_.FindGateway(localAddress);
        target->PostNotification(kDeviceSearchProgress, kSearchDone);
        searched = search.outcome != GatewaySearchOutcome::kFailed;

        DeviceInformation device;
        if (search.outcome == GatewaySearchOutcome::kFound) {
            target->PostNotification(kDeviceSearchProgress, kReadingDevice);
            DeviceDescription description;
            description.Parse(search.gateway.descriptionDocument, search.gateway.descriptionUrl);
            for (std::size_t i = 0; i < kDevicePropertyCount && !stop_.load(); ++i) {
                const auto property = static_cast<DeviceProperty>(i);
                device.Get(property) = description.Property(property);
                target->PostNotification(kDeviceSearchProgress, kPropertyRead + static_cast<int32_t>(i));
            }
        }
        std::lock_guard lock(lock_);
        device_ = std::move(device);
        if (search.outcome == GatewaySearchOutcome::kFound) foundGateway_ = std::move(search.gateway);
    } catch (const std::exception& error) {
        Log(std::string("uPnP device search failed: ") + error.what());
        searched = false;
    }
    target->PostNotification(kDeviceSearchFinished, searched ? kNotifySuccess : kNotifyFailure);
}

void CPortForwardEngine::RunMapping(PortMappingRequest request, IEngineNotificationTarget* target,
                                    ManualResetEvent* event, uint32_t startTick) {
    platform::NameCurrentThread("AddMap");
    switch (event->Wait(startTick, kDeviceSearchWaitMs, stop_)) {
        case EventWait::kStopped:
            return;
        case EventWait::kTimedOut:
            Log(kSearchTimedOut);
            events_.SimpleEvent(kEventPortMappingFailed, "", kSearchTimedOut);
            return;
        case EventWait::kSignalled:
            break;
    }
    if (stop_.load()) return;

    bool added = false;
    try {
        target->PostNotification(kMappingProgress, kMappingStarted);
        const std::optional<FoundGateway> gateway = GatewayForMapping();
        if (gateway && !stop_.load()) {
            target->PostNotification(kMappingProgress, kMappingCollectionObtained);
            added = AddMapping(*gateway, request) == 0;
            if (added) target->PostNotification(kMappingProgress, kMappingAdded);
        }
    } catch (const std::exception& error) {
        Log(std::string("uPnP mapping failed: ") + error.what());
        added = false;
    }
    target->PostNotification(kMappingFinished, added ? kNotifySuccess : kNotifyFailure);
}

void CPortForwardEngine::RunLeaseRenewal(IEngineNotificationTarget* target) {
    platform::NameCurrentThread("AddMap");
    bool renewed = false;
    try {
        std::optional<FoundGateway> gateway;
        std::optional<PortMappingRequest> request;
        {
            std::lock_guard lock(lock_);
            gateway = addedGateway_;
            request = addedRequest_;
        }
        if (gateway && request && !stop_.load()) renewed = AddMapping(*gateway, *request) == 0;
    } catch (const std::exception& error) {
        Log(std::string("uPnP lease renewal failed: ") + error.what());
    }
    target->PostNotification(kLeaseRenewalFinished, renewed ? kNotifySuccess : kNotifyFailure);
}

std::optional<FoundGateway> CPortForwardEngine::GatewayForMapping() {
    std::string searchAddress;
    {
        std::lock_guard lock(lock_);
        if (foundGateway_) return foundGateway_;
        searchAddress = searchAddress_;
    }
    // The device search failed or found nothing: look once more before giving up.
    GatewaySearch search = gateway_.FindGateway(searchAddress);
    if (search.outcome != GatewaySearchOutcome::kFound) return std::nullopt;
    std::lock_guard lock(lock_);
    foundGateway_ = search.gateway;
    return foundGateway_;
}

int CPortForwardEngine::AddMapping(const FoundGateway& gateway, const PortMappingRequest& request) {
    uint32_t lease = kLeaseSeconds;
    int result = gateway_.AddPortMapping(gateway, request, lease);
    if (result == kUpnpOnlyPermanentLeasesSupported) {
        Log("uPnP: the router grants no lease, asking for a permanent mapping");
        lease = 0;
        result = gateway_.AddPortMapping(gateway, request, lease);
    }
    if (result != 0) {
        Log("uPnP: the router refused the mapping of port " + request.externalPort + ", error " +
            std::to_string(result));
        return result;
    }
    std::lock_guard lock(lock_);
    addedRequest_ = request;
    addedGateway_ = gateway;
    addedLease_ = lease;
    return result;
}

DeviceInformation CPortForwardEngine::CopyDeviceInformation() const {
    std::lock_guard lock(lock_);
    return device_;
}

std::optional<uint32_t> CPortForwardEngine::AddedMappingLease() const {
    std::lock_guard lock(lock_);
    if (!addedRequest_) return std::nullopt;
    return addedLease_;
}

void CPortForwardEngine::StopWorkers() {
    stop_ = true;
    if (searchThread_.joinable()) searchThread_.join();
    if (mappingThread_.joinable()) mappingThread_.join();
}

bool CPortForwardEngine::RemoveAddedMapping() {
    std::optional<FoundGateway> gateway;
    std::optional<PortMappingRequest> request;
    {
        std::lock_guard lock(lock_);
        gateway = addedGateway_;
        request = addedRequest_;
    }
    if (!gateway || !request) return false;

    const auto forget = [this] {
        std::lock_guard lock(lock_);
        addedRequest_.reset();
        addedGateway_.reset();
    };
    const std::optional<PortMappingEntry> entry =
        gateway_.FindPortMapping(*gateway, request->externalPort, request->protocol);
    if (entry && (entry->internalClient != request->internalClient || entry->internalPort != request->internalPort)) {
        Log("uPnP: port " + request->externalPort + " now maps to " + entry->internalClient + ":" +
            entry->internalPort + ", left in place");
        forget();
        return false;
    }
    const int result = gateway_.DeletePortMapping(*gateway, request->externalPort, request->protocol);
    if (result == 0 || result == kUpnpNoSuchEntry) {
        Log("uPnP: mapping of port " + request->externalPort + " removed");
        forget();
        return result == 0;
    }
    Log("uPnP: the router did not remove the mapping of port " + request->externalPort + ", error " +
        std::to_string(result));
    return false;
}

void CPortForwardEngine::Log(const std::string& text) { log_.Write(text, kLogChannel, kLogChannel); }

}  // namespace veldmoor
