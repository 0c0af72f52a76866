#pragma once
// Finds the Internet gateway device and adds the port mapping, each on a
// short-lived worker thread ("DevInfo" and "AddMap"). The workers talk to
// their owner only through queued notifications and the owner's event.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "netenv/DeviceInformation.h"
#include "netenv/ManualResetEvent.h"
#include "netenv/UpnpGateway.h"

namespace veldmoor {

class CVeldmoorLog;
class IEventSink;

// Notification codes (first value) and what the second value means.
inline constexpr int kDeviceSearchProgress = 17;  // a phase below
inline constexpr int kDeviceSearchFinished = 18;  // kNotifySuccess or kNotifyFailure
inline constexpr int kMappingProgress = 33;       // a phase below
inline constexpr int kMappingFinished = 34;       // kNotifySuccess or kNotifyFailure
inline constexpr int kLeaseRenewalFinished = 35;  // kNotifySuccess or kNotifyFailure

inline constexpr int32_t kNotifySuccess = 0;
inline constexpr int32_t kNotifyFailure = static_cast<int32_t>(0x80004005u);  // E_FAIL

// Device-search phases.
inline constexpr int32_t kSearchStarted = 0;
inline constexpr int32_t kFinderCreated = 1;
inline constexpr int32_t kSearchDone = 5;
inline constexpr int32_t kReadingDevice = 6;
// kPropertyRead + n after the n-th property of the device was read.
inline constexpr int32_t kPropertyRead = 7;

// Mapping phases.
inline constexpr int32_t kMappingStarted = 0;
inline constexpr int32_t kMappingCollectionObtained = 1;
inline constexpr int32_t kMappingAdded = 2;

// Where the workers' notifications go (the owner's queue). Called on the
// worker threads; must not block.
class IEngineNotificationTarget {
public:
    virtual ~IEngineNotificationTarget() = default;
    virtual void PostNotification(int code, int32_t result) = 0;
};

class CPortForwardEngine {
public:
    static constexpr uint32_t kDeviceSearchWaitMs = 60000;
    // Mappings are asked for with this lease and renewed by the owner before it
    // runs out; a router that only grants permanent mappings gets one of those.
    static constexpr uint32_t kLeaseSeconds = 3600;

    CPortForwardEngine(IUpnpGateway& gateway, IEventSink& events, CVeldmoorLog& log);
    // Stops and waits for both workers.
    virtual ~CPortForwardEngine();
    CPortForwardEngine(const CPortForwardEngine&) = delete;
    CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;

    // Each fails when its worker already runs, the target is null or the
    // thread cannot be started. The search looks only through the interface
    // that holds `localAddress`.
    bool StartDeviceSearch(IEngineNotificationTarget* target, const std::string& localAddress);
    // Waits up to 60 s from this call for `event` (the owner sets it when the
    // search is done), then adds the mapping.
    bool StartMapping(const PortMappingRequest& request, IEngineNotificationTarget* target,
                      ManualResetEvent* event);
    // Adds the mapping this engine added before once more, refreshing its lease.
    bool StartLeaseRenewal(IEngineNotificationTarget* target);

    bool DeviceSearchRunning() const { return searchRunning_.load(); }
    bool MappingRunning() const { return mappingRunning_.load(); }
    DeviceInformation CopyDeviceInformation() const;
    // The lease the router granted the mapping this engine added (0:
    // permanent); nothing while no mapping was added.
    std::optional<uint32_t> AddedMappingLease() const;

    // Stops and waits for both workers; a waiting mapping worker gives up.
    void StopWorkers();
    // Deletes the mapping this engine added, unless the router now maps the
    // port to someone else. Blocks for the router's answer. Call after StopWorkers.
    bool RemoveAddedMapping();

private:
    void RunDeviceSearch(IEngineNotificationTarget* target, std::string localAddress);
    void RunMapping(PortMappingRequest request, IEngineNotificationTarget* target, ManualResetEvent* event,
                    uint32_t startTick);
    void RunLeaseRenewal(IEngineNotificationTarget* target);
    // The gateway the search found, else a search of the mapping worker's own.
    std::optional<FoundGateway> GatewayForMapping();
    // Adds the mapping with a lease, or permanently when the router grants no
    // lease; stores what was added. Returns the router's result.
    int AddMapping(const FoundGateway& gateway, const PortMappingRequest& request);
    bool StartWorker(std::thread& worker, std::atomic<bool>& running, IEngineNotificationTarget* target,
                     std::function<void()> body);
    void Log(const std::string& text);

    IUpnpGateway& gateway_;
    IEventSink& events_;
    CVeldmoorLog& log_;

    std::thread searchThread_;
    std::thread mappingThread_;
    std::atomic<bool> searchRunning_{false};
    std::atomic<bool> mappingRunning_{false};
    std::atomic<bool> stop_{false};

    // Guards everything below.
    mutable std::mutex lock_;
    DeviceInformation device_;
    std::optional<FoundGateway> foundGateway_;
    std::string searchAddress_;
    std::optional<PortMappingRequest> addedRequest_;
    std::optional<FoundGateway> addedGateway_;
    uint32_t addedLease_ = 0;
};

}  // namespace veldmoor
