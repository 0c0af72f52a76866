#pragma once
// The controller's side of the port mapping: chooses the listening port,
// starts the device search and the mapping on the engine's workers, and turns
// their notifications into log lines (channel 3) and statistics events. Runs on
// the owner's thread; the workers' notifications wait in a queue until the
// owner's poll delivers them. Renews the mapping's lease while the program runs
// and removes the mapping on a clean exit.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "netenv/CPortForwardEngine.h"
#include "netenv/LocalNetwork.h"
#include "netenv/PortMapping.h"

namespace veldmoor {

class CVeldmoorLog;
class IEventSink;

inline constexpr int kLowestListeningPort = 40000;
inline constexpr int kHighestListeningPort = 50000;

// Ports never taken as the first candidate (other programs' well-known ports).
bool IsExcludedPort(int port);
// The first candidate for a random value: one past 40000 + value mod 10000,
// moved past excluded ports.
int FirstCandidatePort(uint32_t randomValue);
// The candidate after `port`: the next port that is not excluded, wrapping to
// 40000 past 50000.
int NextCandidatePort(int port);
// The first candidate from `start` that is not in use, trying every port of the
// range once; 0 when all are taken.
int ChooseListeningPort(int start, const std::function<bool(int)>& portInUse);

// Worker notifications waiting for the owner's thread.
class EngineNotificationQueue final : public IEngineNotificationTarget {
public:
    struct Notification {
        int code = 0;
        int32_t result = 0;
    };
    void PostNotification(int code, int32_t result) override;
    std::vector<Notification> TakeAll();

private:
    std::mutex lock_;
    std::vector<Notification> waiting_;
};

class UpnpPortMapping final : public IPortMapping {
public:
    static constexpr char kDescription[] = "Veldmoor uPnP for P2SP upload/download";
    // A failed lease renewal is tried again after this long.
    static constexpr uint32_t kRenewalRetryMs = 60000;

    // The system's network, miniupnpc and the process-wide log (looked up
    // at every line, so it may be deleted and made again meanwhile).
    explicit UpnpPortMapping(IEventSink& events);
    UpnpPortMapping(IEventSink& events, CVeldmoorLog& log, std::unique_ptr<ILocalNetwork> network,
                    std::unique_ptr<IUpnpGateway> gateway);
    ~UpnpPortMapping() override;
    UpnpPortMapping(const UpnpPortMapping&) = delete;
    UpnpPortMapping& operator=(const UpnpPortMapping&) = delete;

    int SetUpPortMapping() override;
    void DeliverNotifications() override;
    void RemoveMapping() override;

    void OnEngineNotification(int code, int32_t result);
    bool PortInUse(int port);
    std::optional<Ipv4Address> LocalAddress();

    bool DeviceFound() const { return deviceFound_; }
    const DeviceInformation& Device() const { return device_; }
    // Whether the router confirmed the mapping.
    bool Mapped() const { return mapped_; }
    const CPortForwardEngine& Engine() const { return engine_; }

private:
    void OnDeviceSearchFinished(int32_t result);
    void OnMappingFinished(int32_t result);
    void OnLeaseRenewalFinished(int32_t result);
    void RenewLeaseWhenDue();
    void ScheduleRenewal(uint32_t delayMs);
    void Report(const std::string& code, const std::string& text);
    void Log(const std::string& text);

    IEventSink& events_;
    CVeldmoorLog& log_;
    std::unique_ptr<ILocalNetwork> network_;
    std::unique_ptr<IUpnpGateway> gateway_;
    EngineNotificationQueue queue_;
    ManualResetEvent searchDone_;
    // Declared after what its workers use, so that it stops them first.
    CPortForwardEngine engine_;

    bool deviceFound_ = false;
    DeviceInformation device_;
    bool mapped_ = false;
    bool removed_ = false;
    std::optional<uint32_t> renewalFromTick_;
    uint32_t renewalDelayMs_ = 0;
};

}  // namespace veldmoor
