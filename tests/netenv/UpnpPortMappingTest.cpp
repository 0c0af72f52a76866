#include "netenv/UpnpPortMapping.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "tests/netenv/UpnpFakes.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using test::ReportedEvent;

constexpr char kFailure[] = "11500105";

class RecordingTarget final : public IEngineNotificationTarget {
public:
    void PostNotification(int code, int32_t result) override {
        std::lock_guard lock(mutex_);
        posted_.push_back({code, result});
    }
    std::vector<std::pair<int, int32_t>> Posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    bool Has(int code) const {
        const auto posted = Posted();
        return std::any_of(posted.begin(), posted.end(), [code](const auto& n) { return n.first == code; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, int32_t>> posted_;
};

// The driven clock, counting its tick readings: a test that moved it waits
// for new readings to know that a waiting worker has looked since.
class CountingDrivenClock final : public platform::ClockSource {
public:
    CountingDrivenClock() { platform::InstallClock(this); }
    ~CountingDrivenClock() override { platform::InstallClock(nullptr); }
    CountingDrivenClock(const CountingDrivenClock&) = delete;
    CountingDrivenClock& operator=(const CountingDrivenClock&) = delete;

    uint32_t TickMs() override {
        ++readings_;
        return clock_.TickMs();
    }
    int64_t CalendarSeconds() override { return clock_.CalendarSeconds(); }
    void SleepMs(uint32_t ms) override { clock_.SleepMs(ms); }

    void AdvanceMs(uint64_t ms) { clock_.AdvanceMs(ms); }
    uint64_t TickReadings() const { return readings_.load(); }
    CountingDrivenClock* operator->() { return this; }

private:
    platform::DrivenClock clock_;
    std::atomic<uint64_t> readings_{0};
};

// The flow with fakes around it. The driven clock is installed first so that
// it outlives the flow's workers.
class UpnpFlowTest : public ::testing::Test {
protected:
    UpnpFlowTest() {
        auto network = std::make_unique<test::FakeNetwork>();
        auto gateway = std::make_unique<test::FakeGateway>();
        network_ = network.get();
        gateway_ = gateway.get();
        flow_ = std::make_unique<UpnpPortMapping>(sink_, log_, std::move(network), std::move(gateway));
    }
    ~UpnpFlowTest() override {
        gateway_->ReleaseSearch();
        flow_.reset();
    }

    // Delivers notifications as the controller's poll would, until `done`.
    bool PollUntil(const std::function<bool()>& done) {
        return test::WaitUntil([&] {
            flow_->DeliverNotifications();
            return done();
        });
    }
    bool Logged(const std::string& text) const {
        const auto texts = log_.Texts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    bool Reported(const std::string& code, const std::string& text) const {
        const auto events = sink_.Events();
        return std::find(events.begin(), events.end(), ReportedEvent{code, text}) != events.end();
    }

    CountingDrivenClock clock_;
    test::CapturingSink sink_;
    test::CapturingLog log_;
    test::FakeNetwork* network_ = nullptr;
    test::FakeGateway* gateway_ = nullptr;
    std::unique_ptr<UpnpPortMapping> flow_;
};

TEST_F(UpnpFlowTest, MapsTheChosenPortWithTheRequestRecordAndALease) {
    const int port = flow_->SetUpPortMapping();
    ASSERT_GE(port, kLowestListeningPort);
    ASSERT_LE(port, kHighestListeningPort);
    EXPECT_THAT(network_->probed, ElementsAre(port));
    ASSERT_TRUE(PollUntil([&] { return flow_->Mapped(); }));

    ASSERT_EQ(gateway_->Adds().size(), 1u);
    const test::AddCall add = gateway_->Adds()[0];
    EXPECT_EQ(add.request.externalPort, std::to_string(port));
    EXPECT_EQ(add.request.internalPort, std::to_string(port));
    EXPECT_EQ(add.request.protocol, "TCP");
    EXPECT_EQ(add.request.internalClient, "192.168.1.20");
    EXPECT_EQ(add.request.enabled, "Yes");
    EXPECT_EQ(add.request.description, "Veldmoor uPnP for P2SP upload/download");
    EXPECT_EQ(add.leaseSeconds, CPortForwardEngine::kLeaseSeconds);
    // The search looked only where the mapped address lives, once.
    EXPECT_THAT(gateway_->SearchAddresses(), ElementsAre("192.168.1.20"));

    EXPECT_TRUE(flow_->DeviceFound());
    EXPECT_EQ(flow_->Device().FriendlyName(), "Test Router");
    EXPECT_EQ(flow_->Device().Get(DeviceProperty::kServices), "Yes: One service");
    EXPECT_THAT(sink_.Events(), ElementsAre(ReportedEvent{"11390000", ""}));
    EXPECT_THAT(log_.Texts(), ElementsAre("IGD设备信息线程已创建", "uPnP线程已创建",
                                          "NAT Device found : Name : <Test Router>", "uPnP成功"));
    for (const auto& line : log_.Lines()) {
        EXPECT_EQ(line.channel, 3);
        EXPECT_EQ(line.level, 3);
    }
}

TEST_F(UpnpFlowTest, EveryPortInUseFallsBackToTheEngineDefaultWithoutThreads) {
    network_->inUse = [](int) { return true; };
    EXPECT_EQ(flow_->SetUpPortMapping(), 0);
    EXPECT_THAT(sink_.Events(), ElementsAre(ReportedEvent{kFailure, "没有可用的端口，uPnP失败"}));
    EXPECT_THAT(log_.Texts(), ElementsAre("没有可用的端口，uPnP失败"));
    EXPECT_FALSE(flow_->Engine().DeviceSearchRunning());
    EXPECT_FALSE(flow_->Engine().MappingRunning());
    EXPECT_THAT(gateway_->SearchAddresses(), IsEmpty());
}

TEST_F(UpnpFlowTest, NoLocalAddressFallsBackToTheEngineDefault) {
    network_->address.reset();
    EXPECT_EQ(flow_->SetUpPortMapping(), 0);
    EXPECT_THAT(sink_.Events(), ElementsAre(ReportedEvent{kFailure, "无法获取本地ip，uPnP失败"}));
    EXPECT_THAT(gateway_->SearchAddresses(), IsEmpty());
}

TEST_F(UpnpFlowTest, APublicAddressKeepsThePortAndStartsNoThreads) {
    network_->address = Ipv4Address::FromOctets(198, 51, 100, 7);
    const int port = flow_->SetUpPortMapping();
    EXPECT_GE(port, kLowestListeningPort);
    EXPECT_THAT(sink_.Events(), ElementsAre(ReportedEvent{"11390001", "无需uPnP：本机直通外网198.51.100.7"}));
    EXPECT_FALSE(flow_->Engine().DeviceSearchRunning());
    EXPECT_FALSE(flow_->Engine().MappingRunning());
    clock_->AdvanceMs(120000);
    flow_->DeliverNotifications();
    EXPECT_THAT(gateway_->SearchAddresses(), IsEmpty());
    EXPECT_THAT(gateway_->Adds(), IsEmpty());
    EXPECT_EQ(sink_.Events().size(), 1u);
}

TEST_F(UpnpFlowTest, NoRouterAnsweringDoesNotHoldUpStartUpAndReportsNoDevice) {
    gateway_->search.outcome = GatewaySearchOutcome::kNoneFound;
    gateway_->HoldSearch();
    // Returns while the search is still out: the start-up never waits for the network.
    const int port = flow_->SetUpPortMapping();
    EXPECT_GE(port, kLowestListeningPort);
    EXPECT_TRUE(flow_->Engine().DeviceSearchRunning());
    gateway_->ReleaseSearch();

    ASSERT_TRUE(PollUntil([&] { return Reported(kFailure, "uPnP失败，因为没有IGD设备信息"); }));
    EXPECT_TRUE(Logged("NAT device ^Not^ found.."));
    EXPECT_TRUE(Logged("uPnP失败，因为没有IGD设备信息"));
    EXPECT_FALSE(flow_->DeviceFound());
    EXPECT_FALSE(flow_->Mapped());
    // The mapping worker looked once more before it gave up; nothing was added.
    EXPECT_EQ(gateway_->SearchAddresses().size(), 2u);
    EXPECT_THAT(gateway_->Adds(), IsEmpty());
    EXPECT_THAT(sink_.Events(), Not(Contains(ReportedEvent{"11390000", ""})));
}

TEST_F(UpnpFlowTest, AFailedSearchReleasesTheMappingWorkerAtOnceAndItStillTries) {
    gateway_->search.outcome = GatewaySearchOutcome::kFailed;
    flow_->SetUpPortMapping();
    // Its own search fails as well: the failure must not claim a device was found.
    ASSERT_TRUE(PollUntil([&] { return Reported(kFailure, "uPnP失败，因为没有IGD设备信息"); }));
    EXPECT_EQ(gateway_->SearchAddresses().size(), 2u);
    EXPECT_TRUE(Logged("NAT device ^Not^ found.."));
    EXPECT_FALSE(Reported(kFailure, "uPnP失败，获取IGD设备超时"));
}

TEST_F(UpnpFlowTest, ARouterThatRefusesTheMappingIsReportedAsFoundButFailed) {
    gateway_->addResults = {718};  // conflict with another client's mapping
    flow_->SetUpPortMapping();
    ASSERT_TRUE(PollUntil([&] { return Reported(kFailure, "IGD设备已找到，但是uPnP依然失败"); }));
    EXPECT_TRUE(Logged("IGD设备已找到，但是uPnP依然失败"));
    EXPECT_EQ(gateway_->Adds().size(), 1u);
    EXPECT_FALSE(flow_->Mapped());
    // Nothing of ours to remove.
    flow_->RemoveMapping();
    EXPECT_THAT(gateway_->Deletes(), IsEmpty());
}

TEST_F(UpnpFlowTest, TheMappingWorkerGivesUpAfterSixtySecondsWithoutASearchResult) {
    gateway_->HoldSearch();
    ASSERT_GT(flow_->SetUpPortMapping(), 0);
    clock_->AdvanceMs(59999);
    // The only reader of the clock now is the waiting mapping worker: two
    // readings after the move mean it saw 59999 ms and went on waiting.
    const uint64_t readings = clock_->TickReadings();
    ASSERT_TRUE(test::WaitUntil([&] { return clock_->TickReadings() >= readings + 2; }));
    flow_->DeliverNotifications();
    EXPECT_TRUE(flow_->Engine().MappingRunning());
    EXPECT_FALSE(Reported(kFailure, "uPnP失败，获取IGD设备超时"));

    clock_->AdvanceMs(1);
    ASSERT_TRUE(test::WaitUntil([&] { return !flow_->Engine().MappingRunning(); }));
    EXPECT_TRUE(Reported(kFailure, "uPnP失败，获取IGD设备超时"));
    EXPECT_TRUE(Logged("uPnP失败，获取IGD设备超时"));
    gateway_->ReleaseSearch();
    ASSERT_TRUE(PollUntil([&] { return !flow_->Engine().DeviceSearchRunning() && flow_->DeviceFound(); }));
    EXPECT_THAT(gateway_->Adds(), IsEmpty());
}

TEST_F(UpnpFlowTest, ARouterThatGrantsNoLeaseGetsAPermanentMappingThatIsNeverRenewed) {
    gateway_->addResults = {kUpnpOnlyPermanentLeasesSupported};
    flow_->SetUpPortMapping();
    ASSERT_TRUE(PollUntil([&] { return flow_->Mapped(); }));
    const auto adds = gateway_->Adds();
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[0].leaseSeconds, CPortForwardEngine::kLeaseSeconds);
    EXPECT_EQ(adds[1].leaseSeconds, 0u);
    EXPECT_EQ(flow_->Engine().AddedMappingLease(), 0u);
    EXPECT_TRUE(Reported("11390000", ""));

    // A renewal would start on the mapping worker within DeliverNotifications,
    // so waiting for that worker to be idle waits for any renewal to finish.
    ASSERT_TRUE(test::WaitUntil([&] { return !flow_->Engine().MappingRunning(); }));
    clock_->AdvanceMs(3u * 3600u * 1000u);
    flow_->DeliverNotifications();
    ASSERT_TRUE(test::WaitUntil([&] { return !flow_->Engine().MappingRunning(); }));
    flow_->DeliverNotifications();
    EXPECT_EQ(gateway_->Adds().size(), 2u);
}

TEST_F(UpnpFlowTest, TheLeaseIsRenewedHalfWayAndRetriedAMinuteAfterAFailure) {
    flow_->SetUpPortMapping();
    ASSERT_TRUE(PollUntil([&] { return flow_->Mapped(); }));
    const uint32_t half = CPortForwardEngine::kLeaseSeconds * 1000 / 2;

    clock_->AdvanceMs(half - 1);
    flow_->DeliverNotifications();
    EXPECT_EQ(gateway_->Adds().size(), 1u);

    gateway_->addResults = {501};
    clock_->AdvanceMs(1);
    ASSERT_TRUE(PollUntil([&] { return Logged("uPnP: lease renewal failed"); }));
    EXPECT_EQ(gateway_->Adds().size(), 2u);
    EXPECT_EQ(gateway_->Adds()[1].leaseSeconds, CPortForwardEngine::kLeaseSeconds);

    clock_->AdvanceMs(UpnpPortMapping::kRenewalRetryMs);
    ASSERT_TRUE(PollUntil([&] { return Logged("uPnP: lease renewed"); }));
    EXPECT_EQ(gateway_->Adds().size(), 3u);
    // A renewal is no new success for the statistics.
    EXPECT_THAT(sink_.Events(), ElementsAre(ReportedEvent{"11390000", ""}));

    flow_->RemoveMapping();
    clock_->AdvanceMs(10u * half);
    flow_->DeliverNotifications();
    EXPECT_EQ(gateway_->Adds().size(), 3u);
}

TEST_F(UpnpFlowTest, ACleanExitRemovesTheMappingThisProgramAdded) {
    const int port = flow_->SetUpPortMapping();
    ASSERT_TRUE(PollUntil([&] { return flow_->Mapped(); }));
    gateway_->entry = PortMappingEntry{"192.168.1.20", std::to_string(port), UpnpPortMapping::kDescription, 3600};
    flow_->RemoveMapping();
    EXPECT_THAT(gateway_->Deletes(), ElementsAre(std::to_string(port) + "/TCP"));
    EXPECT_FALSE(flow_->Mapped());
    // A second exit path does not remove it twice.
    flow_->RemoveMapping();
    EXPECT_EQ(gateway_->Deletes().size(), 1u);
}

TEST_F(UpnpFlowTest, ASuccessStillQueuedAtExitIsRemovedAndNotReported) {
    const int port = flow_->SetUpPortMapping();
    ASSERT_TRUE(test::WaitUntil([&] { return !flow_->Engine().DeviceSearchRunning(); }));
    // Delivers the search, which releases the mapping worker; the mapping's
    // own notification is left in the queue.
    flow_->DeliverNotifications();
    ASSERT_TRUE(test::WaitUntil([&] { return !flow_->Engine().MappingRunning(); }));
    ASSERT_EQ(gateway_->Adds().size(), 1u);
    flow_->RemoveMapping();
    EXPECT_THAT(gateway_->Deletes(), ElementsAre(std::to_string(port) + "/TCP"));
    flow_->DeliverNotifications();
    EXPECT_FALSE(flow_->Mapped());
    EXPECT_THAT(sink_.Events(), IsEmpty());
}

TEST_F(UpnpFlowTest, AMappingTheRouterNowGivesToAnotherMachineIsLeftInPlace) {
    const int port = flow_->SetUpPortMapping();
    ASSERT_TRUE(PollUntil([&] { return flow_->Mapped(); }));
    gateway_->entry = PortMappingEntry{"192.168.1.33", std::to_string(port), "someone else", 0};
    flow_->RemoveMapping();
    EXPECT_THAT(gateway_->Deletes(), IsEmpty());
}

TEST_F(UpnpFlowTest, ExitWhileTheMappingWorkerWaitsEndsItWithoutAMapping) {
    gateway_->HoldSearch();
    flow_->SetUpPortMapping();
    EXPECT_TRUE(flow_->Engine().MappingRunning());
    gateway_->ReleaseSearch();
    flow_->RemoveMapping();  // stops both workers before the search is delivered
    EXPECT_FALSE(flow_->Engine().MappingRunning());
    EXPECT_FALSE(flow_->Engine().DeviceSearchRunning());
    EXPECT_THAT(gateway_->Adds(), IsEmpty());
    EXPECT_THAT(gateway_->Deletes(), IsEmpty());
}

TEST(CPortForwardEngineTest, WorkersPostTheirPhasesInOrder) {
    test::FakeGateway gateway;
    test::CapturingSink sink;
    test::CapturingLog log;
    RecordingTarget target;
    ManualResetEvent event;
    CPortForwardEngine engine(gateway, sink, log);

    ASSERT_TRUE(engine.StartDeviceSearch(&target, "192.168.1.20"));
    ASSERT_TRUE(test::WaitUntil([&] { return target.Has(kDeviceSearchFinished); }));
    std::vector<std::pair<int, int32_t>> expected = {{17, 0}, {17, 1}, {17, 5}, {17, 6}};
    for (int32_t i = 0; i < static_cast<int32_t>(kDevicePropertyCount); ++i) expected.push_back({17, 7 + i});
    expected.push_back({18, 0});
    EXPECT_EQ(target.Posted(), expected);
    EXPECT_EQ(engine.CopyDeviceInformation().FriendlyName(), "Test Router");

    PortMappingRequest request{"45000", "45000", "TCP", "192.168.1.20", "Yes", "d"};
    ASSERT_TRUE(engine.StartMapping(request, &target, &event));
    event.Set();
    ASSERT_TRUE(test::WaitUntil([&] { return target.Has(kMappingFinished); }));
    const auto posted = target.Posted();
    const std::vector<std::pair<int, int32_t>> mapping(posted.end() - 4, posted.end());
    EXPECT_EQ(mapping, (std::vector<std::pair<int, int32_t>>{{33, 0}, {33, 1}, {33, 2}, {34, 0}}));
}

TEST(CPortForwardEngineTest, AWorkerCannotBeStartedTwiceOrWithoutATarget) {
    test::FakeGateway gateway;
    test::CapturingSink sink;
    test::CapturingLog log;
    RecordingTarget target;
    ManualResetEvent event;
    CPortForwardEngine engine(gateway, sink, log);
    PortMappingRequest request{"45000", "45000", "TCP", "192.168.1.20", "Yes", "d"};

    EXPECT_FALSE(engine.StartDeviceSearch(nullptr, "192.168.1.20"));
    EXPECT_FALSE(engine.StartMapping(request, nullptr, &event));
    EXPECT_FALSE(engine.StartMapping(request, &target, nullptr));

    gateway.HoldSearch();
    ASSERT_TRUE(engine.StartDeviceSearch(&target, "192.168.1.20"));
    EXPECT_FALSE(engine.StartDeviceSearch(&target, "192.168.1.20"));
    ASSERT_TRUE(engine.StartMapping(request, &target, &event));
    EXPECT_FALSE(engine.StartMapping(request, &target, &event));
    gateway.ReleaseSearch();
    ASSERT_TRUE(test::WaitUntil([&] { return !engine.DeviceSearchRunning(); }));
    // Finished workers can run again.
    EXPECT_TRUE(engine.StartDeviceSearch(&target, "192.168.1.20"));
    engine.StopWorkers();
    EXPECT_FALSE(engine.MappingRunning());
}

}  // namespace
}  // namespace veldmoor
