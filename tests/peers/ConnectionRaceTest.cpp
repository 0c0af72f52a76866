#include "peers/ConnectionRace.h"

#include <gtest/gtest.h>

#include "peers/QSocket.h"
#include "platform/Clock.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/Infrastructure.h"

namespace veldmoor::test {
namespace {

using State = ConnectionRace::State;

// A listener whose one-place queue is already taken: the kernel drops every
// further SYN, so a connect to it neither completes nor fails, like a dead route.
class SilentListener {
public:
    explicit SilentListener(const IpAddress& address) {
        listener_ = platform::OpenStreamSocket(address.Family());
        if (listener_ < 0 || platform::BindSocket(listener_, {address, 0}) < 0 ||
            platform::ListenOnSocket(listener_, 0) < 0 || platform::LocalEndpointOf(listener_, &endpoint_) < 0)
            return;
        filler_ = platform::OpenStreamSocket(address.Family());
        platform::ConnectSocket(filler_, endpoint_);
        ready_ = platform::WaitOnSocket(filler_, platform::SocketWait::kWritable, 5000) > 0 &&
                 platform::PendingSocketError(filler_) == 0;
    }
    ~SilentListener() {
        platform::CloseSocket(filler_);
        platform::CloseSocket(listener_);
    }
    bool Ready() const { return ready_; }
    const Endpoint& At() const { return endpoint_; }

private:
    platform::SocketHandle listener_ = platform::kNoSocket;
    platform::SocketHandle filler_ = platform::kNoSocket;
    Endpoint endpoint_;
    bool ready_ = false;
};

// A port on the address where nobody listens (a listener opened and closed).
Endpoint RefusingEndpoint(const IpAddress& address) {
    const platform::SocketHandle probe = platform::OpenStreamSocket(address.Family());
    Endpoint bound{address, 0};
    platform::BindSocket(probe, bound);
    platform::LocalEndpointOf(probe, &bound);
    platform::CloseSocket(probe);
    return bound;
}

class ConnectionRaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::OpenStreamSocket(AddressFamily::kIpv6) == -EAFNOSUPPORT)
            VELDMOOR_SKIP_NOT_APPLICABLE("the kernel has no IPv6");
        ASSERT_TRUE(listener_.Listen(0, Loopback()));
        ASSERT_TRUE(silentV6_.Ready()) << "cannot hold a connect to [::1] unanswered";
    }
    Endpoint V4Listener() const { return {Loopback(), static_cast<uint16_t>(listener_.LocalPort())}; }
    // Steps the race at one reading of the clock until it ends or the time is up.
    static State StepUntilDecided(ConnectionRace& race, uint32_t nowMs) {
        WaitUntil([&] { return race.Step(nowMs) != State::kRunning; });
        return race.Current();
    }

    QSocket listener_;
    SilentListener silentV6_{IpAddress::V6Loopback()};
};

TEST_F(ConnectionRaceTest, AnUnansweredIpv6AttemptCostsOneStaggerAndIpv4Wins) {
    ConnectionRace race({silentV6_.At(), V4Listener()}, 1000);
    EXPECT_EQ(race.Step(1000), State::kRunning);
    EXPECT_EQ(race.Step(1249), State::kRunning);
    EXPECT_EQ(race.AttemptsStarted(), 1u) << "the IPv4 attempt waits for the stagger";
    EXPECT_EQ(race.MsUntilNextAttempt(1249), 1);

    ASSERT_EQ(StepUntilDecided(race, 1250), State::kWon);
    EXPECT_EQ(race.AttemptsStarted(), 2u);
    EXPECT_EQ(race.WinnerEndpoint(), V4Listener());
    EXPECT_TRUE(race.RunningSockets().empty()) << "the losing attempt is closed";
    const platform::SocketHandle winner = race.TakeWinner();
    EXPECT_NE(winner, platform::kNoSocket);
    EXPECT_EQ(race.TakeWinner(), platform::kNoSocket) << "handed over once";
    EXPECT_NE(AcceptOne(listener_), nullptr);
    platform::CloseSocket(winner);
}

TEST_F(ConnectionRaceTest, AFailedAttemptStartsTheNextAtOnceAndAllFailedLoses) {
    const Endpoint refusedV6 = RefusingEndpoint(IpAddress::V6Loopback());
    ConnectionRace race({refusedV6, V4Listener()}, 0);
    // Refused long before the stagger: the IPv4 attempt follows with the clock standing still.
    EXPECT_EQ(StepUntilDecided(race, 0), State::kWon);
    EXPECT_EQ(race.WinnerEndpoint(), V4Listener());

    ConnectionRace hopeless({refusedV6, RefusingEndpoint(Loopback())}, 0);
    EXPECT_EQ(StepUntilDecided(hopeless, 0), State::kLost);
    EXPECT_EQ(hopeless.LastError(), ECONNREFUSED);
}

TEST_F(ConnectionRaceTest, AConnectionRacesOnTheProcessClock) {
    // 127.0.0.1 answers on the port the silent [::1] listener holds.
    QSocket sameHost;
    ASSERT_TRUE(sameHost.Listen(silentV6_.At().port, Loopback())) << "the port is taken on 127.0.0.1";
    platform::ScopedDrivenClock clock(5000);
    QSocket client;
    const QProxyInfo noProxy;
    ASSERT_TRUE(client.ConnectAny({Loopback(), IpAddress::V6Loopback()}, silentV6_.At().port, false, &noProxy));
    EXPECT_EQ(client.RemoteAddress(), IpAddress::V6Loopback()) << "IPv6 is tried first whatever the order given";
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(sameHost.Accept(), nullptr) << "no IPv4 attempt before the stagger";

    clock->AdvanceMs(ConnectionRace::kStaggerMs);
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected() || !client.IsOpen(); }));
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.RemoteAddress(), Loopback());
    EXPECT_NE(AcceptOne(sameHost), nullptr);
}

TEST(RaceOrderTest, Ipv6FirstThenTheFamiliesAlternate) {
    const IpAddress a4 = Ipv4Address::FromOctets(192, 0, 2, 1), b4 = Ipv4Address::FromOctets(192, 0, 2, 2),
                    c4 = Ipv4Address::FromOctets(192, 0, 2, 3);
    const IpAddress a6 = *IpAddress::Parse("2001:db8::a"), b6 = *IpAddress::Parse("2001:db8::b");
    EXPECT_EQ(RaceOrder({a4, b4, a6, c4, b6}), (std::vector<IpAddress>{a6, a4, b6, b4, c4}));
    EXPECT_EQ(RaceOrder({a4, b4}), (std::vector<IpAddress>{a4, b4}));
    EXPECT_EQ(RaceOrder({}), std::vector<IpAddress>{});
}

}  // namespace
}  // namespace veldmoor::test
