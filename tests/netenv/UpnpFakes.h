#pragma once
// Stand-ins for the router, the machine's network, the log and the statistics
// channel, so that the port-mapping flow runs without a router.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EventSink.h"
#include "netenv/LocalNetwork.h"
#include "netenv/UpnpGateway.h"

namespace veldmoor::test {

inline const char kRouterDescription[] = R"(<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
  <specVersion><major>1</major><minor>0</minor></specVersion>
  <device>
    <deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
    <friendlyName>Test Router</friendlyName>
    <manufacturer>Example Networks</manufacturer>
    <manufacturerURL>http://example.com/</manufacturerURL>
    <modelDescription>Home gateway</modelDescription>
    <modelName>EX-1</modelName>
    <modelNumber>7</modelNumber>
    <serialNumber>00001</serialNumber>
    <UDN>uuid:11111111-2222-3333-4444-555555555555</UDN>
    <iconList>
      <icon><mimetype>image/png</mimetype><url>/icon.png</url></icon>
      <icon><mimetype>image/gif</mimetype><url>images/icon.gif</url></icon>
    </iconList>
    <serviceList>
      <service><serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType></service>
    </serviceList>
    <deviceList>
      <device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType></device>
    </deviceList>
    <presentationURL>/</presentationURL>
  </device>
</root>
)";

inline const char kRouterDescriptionUrl[] = "http://192.168.1.1:5000/desc/root.xml";

struct LoggedLine {
    std::string text;
    int32_t channel = 0;
    int32_t level = 0;
};

class CapturingLog final : public CVeldmoorLog {
public:
    void SetLevels(int32_t, int32_t) override {}
    void SetBasePath(const std::string&) override {}
    void Write(const std::string& text, int32_t channel, int32_t level) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({text, channel, level});
    }
    void Debug(const char*, ...) override {}

    std::vector<LoggedLine> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& line : Lines()) texts.push_back(line.text);
        return texts;
    }

private:
    mutable std::mutex mutex_;
    std::vector<LoggedLine> lines_;
};

struct ReportedEvent {
    std::string code;
    std::string text;
    bool operator==(const ReportedEvent&) const = default;
};

class CapturingSink final : public IEventSink {
public:
    bool Start(const StatisticsIdentity&) override { return true; }
    void Stop() override {}
    std::string MachineIdText() const override { return {}; }
    void SimpleEvent(const std::string& code, const std::string&, const std::string& errorText) override {
        std::lock_guard lock(mutex_);
        events_.push_back({code, errorText});
    }
    void ProgressEvent(const std::string&, const std::string&, const ProgressSnapshot&) override {}
    void PieceCheckEvent(const std::string&, const std::string&, uint32_t, const std::string&) override {}

    std::vector<ReportedEvent> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<ReportedEvent> events_;
};

class FakeNetwork final : public ILocalNetwork {
public:
    std::function<bool(int)> inUse = [](int) { return false; };
    std::optional<Ipv4Address> address = Ipv4Address::FromOctets(192, 168, 1, 20);
    std::vector<int> probed;

    bool PortInUse(int port) override {
        probed.push_back(port);
        return inUse(port);
    }
    std::optional<Ipv4Address> LocalAddress() override { return address; }
};

struct AddCall {
    PortMappingRequest request;
    uint32_t leaseSeconds = 0;
};

// A router whose answers the test sets. The search can be held until the
// test lets it go, as a router that never answers would hold it.
class FakeGateway final : public IUpnpGateway {
public:
    FakeGateway() {
        search.outcome = GatewaySearchOutcome::kFound;
        search.gateway = {kRouterDescriptionUrl, kRouterDescription, "http://192.168.1.1:5000/ctl/IPConn",
                          "urn:schemas-upnp-org:service:WANIPConnection:1"};
    }

    GatewaySearch FindGateway(const std::string& localAddress) override {
        std::unique_lock lock(mutex_);
        searchAddresses_.push_back(localAddress);
        // Never hangs a test for good: a held search gives up after a while.
        changed_.wait_for(lock, std::chrono::seconds(20), [this] { return !holdSearch_; });
        return search;
    }
    int AddPortMapping(const FoundGateway&, const PortMappingRequest& request, uint32_t leaseSeconds) override {
        std::lock_guard lock(mutex_);
        adds_.push_back({request, leaseSeconds});
        if (addResults.empty()) return 0;
        const int result = addResults.front();
        addResults.pop_front();
        return result;
    }
    int DeletePortMapping(const FoundGateway&, const std::string& externalPort, const std::string& protocol) override {
        std::lock_guard lock(mutex_);
        deletes_.push_back(externalPort + "/" + protocol);
        return deleteResult;
    }
    std::optional<PortMappingEntry> FindPortMapping(const FoundGateway&, const std::string&,
                                                    const std::string&) override {
        std::lock_guard lock(mutex_);
        return entry;
    }

    void HoldSearch() {
        std::lock_guard lock(mutex_);
        holdSearch_ = true;
    }
    void ReleaseSearch() {
        {
            std::lock_guard lock(mutex_);
            holdSearch_ = false;
        }
        changed_.notify_all();
    }
    std::vector<std::string> SearchAddresses() const {
        std::lock_guard lock(mutex_);
        return searchAddresses_;
    }
    std::vector<AddCall> Adds() const {
        std::lock_guard lock(mutex_);
        return adds_;
    }
    std::vector<std::string> Deletes() const {
        std::lock_guard lock(mutex_);
        return deletes_;
    }

    // Set before the flow starts.
    GatewaySearch search;
    std::deque<int> addResults;  // one per add, then 0
    int deleteResult = 0;
    std::optional<PortMappingEntry> entry;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool holdSearch_ = false;
    std::vector<std::string> searchAddresses_;
    std::vector<AddCall> adds_;
    std::vector<std::string> deletes_;
};

}  // namespace veldmoor::test
