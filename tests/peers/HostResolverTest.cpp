#include "peers/HostResolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "peers/SourceAddress.h"
#include "platform/Clock.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

using platform::HostQueryAnswer;
using platform::HostQueryStatus;

struct ReportedEvent {
    std::string code;
    std::string text;
};

// A query function whose answer the test chooses and whose calls it counts.
struct ScriptedQuery {
    std::atomic<int> calls{0};
    std::atomic<HostQueryStatus> status{HostQueryStatus::kHostNotFound};
    std::vector<IpAddress> addresses;

    HostResolver::QueryFunction Function() {
        return [this](const std::string&) {
            ++calls;
            HostQueryAnswer answer;
            answer.status = status.load();
            if (answer.status == HostQueryStatus::kFound) answer.addresses = addresses;
            return answer;
        };
    }
};

HostResolver::DnsServerSource Servers(std::vector<std::string> servers) {
    return [servers] { return servers; };
}

TEST(HostResolverTest, ResolvesLocalhostThroughTheSystem) {
    HostResolver resolver;
    std::vector<IpAddress> addresses;
    const int added = resolver.Resolve("localhost", addresses);
    ASSERT_GE(added, 1);
    EXPECT_EQ(addresses.size(), static_cast<size_t>(added));
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), Ipv4Address::FromOctets(127, 0, 0, 1)), addresses.end());
}

TEST(HostResolverTest, DottedHostsNeedNoQuery) {
    ScriptedQuery query;
    HostResolver resolver(query.Function(), Servers({}));
    std::vector<IpAddress> addresses;
    EXPECT_EQ(resolver.Resolve("10.1.2.3", addresses), 1);
    EXPECT_EQ(resolver.Resolve("2001:db8::7", addresses), 1);
    // Numbers that are no address add nothing, and are never asked of the name servers.
    for (const char* invalid : {"1.2.3", "01.2.3.4", "0.0.0.0", "1.2.3.256", "::", "2001:db8::1::2", ""})
        EXPECT_EQ(resolver.Resolve(invalid, addresses), 0) << invalid;
    EXPECT_EQ(addresses, (std::vector<IpAddress>{Ipv4Address::FromOctets(10, 1, 2, 3), *IpAddress::Parse("2001:db8::7")}));
    EXPECT_EQ(resolver.Lookup("192.168.0.9"), Ipv4Address::FromOctets(192, 168, 0, 9));
    EXPECT_EQ(resolver.Lookup("1.2.3"), std::nullopt);
    EXPECT_EQ(query.calls, 0);
}

TEST(HostResolverTest, AddsEveryValidAddressInTheAnswersOrder) {
    ScriptedQuery query;
    query.status = HostQueryStatus::kFound;
    query.addresses = {Ipv4Address::FromOctets(10, 0, 0, 2), Ipv4Address{}, *IpAddress::Parse("2001:db8::5"),
                       Ipv4Address::FromOctets(10, 0, 0, 1)};
    HostResolver resolver(query.Function(), Servers({}));
    std::vector<IpAddress> addresses{Ipv4Address::FromOctets(1, 1, 1, 1)};
    EXPECT_EQ(resolver.Resolve("mirror.example", addresses), 3);
    EXPECT_EQ(addresses, (std::vector<IpAddress>{Ipv4Address::FromOctets(1, 1, 1, 1), Ipv4Address::FromOctets(10, 0, 0, 2),
                                                 *IpAddress::Parse("2001:db8::5"), Ipv4Address::FromOctets(10, 0, 0, 1)}));
}

TEST(HostResolverTest, LookupNeverQueriesAMissingNameTwice) {
    ScriptedQuery query;
    HostResolver resolver(query.Function(), Servers({}));
    EXPECT_EQ(resolver.Lookup("nothing.invalid"),std::nullopt);
    EXPECT_EQ(resolver.Lookup("nothing.invalid"),std::nullopt);
    EXPECT_EQ(resolver.Lookup("9nothing.invalid"),std::nullopt) << "a leading digit only tries the dotted form first";
    EXPECT_EQ(resolver.Lookup("9nothing.invalid"),std::nullopt);
    EXPECT_EQ(query.calls, 2);
    EXPECT_TRUE(resolver.IsKnownMissing("nothing.invalid"));

    // Only "not found" marks a name missing; a temporary failure is asked again.
    query.status = HostQueryStatus::kTryAgain;
    EXPECT_EQ(resolver.Lookup("flaky.example"),std::nullopt);
    EXPECT_EQ(resolver.Lookup("flaky.example"),std::nullopt);
    EXPECT_EQ(query.calls, 4);

    resolver.ClearNegativeCache();
    query.status = HostQueryStatus::kFound;
    query.addresses = {Ipv4Address::FromOctets(10, 9, 9, 9)};
    EXPECT_EQ(resolver.Lookup("nothing.invalid"), Ipv4Address::FromOctets(10, 9, 9, 9));
    EXPECT_EQ(query.calls, 5);
}

TEST(HostResolverTest, ResolveFillsTheNegativeCacheForMissingNamesAndMissingData) {
    ScriptedQuery query;
    HostResolver resolver(query.Function(), Servers({}));
    std::vector<IpAddress> addresses;
    EXPECT_EQ(resolver.Resolve("gone.invalid", addresses), -1);
    query.status = HostQueryStatus::kNoData;
    EXPECT_EQ(resolver.Resolve("noaddress.example", addresses), -1);
    query.status = HostQueryStatus::kTryAgain;
    EXPECT_EQ(resolver.Resolve("flaky.example", addresses), -1);
    EXPECT_TRUE(addresses.empty());
    EXPECT_TRUE(resolver.IsKnownMissing("gone.invalid"));
    EXPECT_TRUE(resolver.IsKnownMissing("noaddress.example"));
    EXPECT_FALSE(resolver.IsKnownMissing("flaky.example"));

    const int before = query.calls;
    EXPECT_EQ(resolver.Lookup("noaddress.example"),std::nullopt);
    EXPECT_EQ(query.calls, before);
}

TEST(HostResolverTest, ReportsTheFirstFailureOfEachStreakOnce) {
    ScriptedQuery query;
    HostResolver resolver(query.Function(), Servers({"10.255.255.53", "9.9.9.9", "1.1.1.1"}));
    std::vector<ReportedEvent> events;
    resolver.SetFailureReporter(
        [&events](const std::string& code, const std::string& text) { events.push_back({code, text}); });

    std::vector<IpAddress> addresses;
    EXPECT_EQ(resolver.Resolve("gone.invalid", addresses), -1);
    EXPECT_EQ(resolver.Resolve("gone.invalid", addresses), -1);
    query.status = HostQueryStatus::kTryAgain;
    EXPECT_EQ(resolver.Resolve("other.invalid", addresses), -1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, "11500106");
    EXPECT_EQ(events[0].text,
              "ErrCode : (11001) Host : (gone.invalid) , DNS : (10.255.255.53), 备用 DNS : (9.9.9.9), "
              "备用 DNS : (1.1.1.1)");

    query.status = HostQueryStatus::kFound;
    query.addresses = {Ipv4Address::FromOctets(10, 0, 0, 1)};
    EXPECT_EQ(resolver.Resolve("back.example", addresses), 1);
    query.status = HostQueryStatus::kTryAgain;
    EXPECT_EQ(resolver.Resolve("flaky.example", addresses), -1);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].code, "11500106");
    EXPECT_EQ(events[1].text.rfind("ErrCode : (11002) Host : (flaky.example) , DNS : (10.255.255.53)", 0), 0u);
}

TEST(HostResolverTest, SaysSoWhenNoDnsServerIsConfigured) {
    ScriptedQuery query;
    HostResolver resolver(query.Function(), Servers({}));
    std::string reported;
    resolver.SetFailureReporter([&reported](const std::string&, const std::string& text) { reported = text; });
    std::vector<IpAddress> addresses;
    EXPECT_EQ(resolver.Resolve("gone.invalid", addresses), -1);
    EXPECT_EQ(reported, "ErrCode : (11001) Host : (gone.invalid) , no DNS");
}

TEST(HostResolverTest, AHangingQueryCostsAtMostTheLimit) {
    platform::ScopedDrivenClock clock;
    // The query blocks until released; it owns what it touches, since the
    // resolver leaves it behind.
    struct Gate {
        std::promise<void> release;
        std::shared_future<void> released{release.get_future().share()};
        std::atomic<bool> entered{false};
        std::atomic<bool> left{false};
    };
    auto gate = std::make_shared<Gate>();
    HostResolver resolver(
        [gate](const std::string&) {
            gate->entered = true;
            gate->released.wait();
            gate->left = true;
            return HostQueryAnswer{HostQueryStatus::kFound, {Ipv4Address::FromOctets(10, 0, 0, 1)}};
        },
        Servers({}));
    std::string reported;
    resolver.SetFailureReporter([&reported](const std::string&, const std::string& text) { reported = text; });

    std::vector<IpAddress> addresses;
    auto result = std::async(std::launch::async, [&] { return resolver.Resolve("slow.example", addresses); });
    ASSERT_TRUE(test::WaitUntil([&] { return gate->entered.load(); }));
    clock->AdvanceMs(HostResolver::kQueryLimitMs - 1);
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    clock->AdvanceMs(1);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), -1);
    EXPECT_TRUE(addresses.empty());
    EXPECT_EQ(reported.rfind("ErrCode : (10060) Host : (slow.example) ", 0), 0u);
    EXPECT_FALSE(resolver.IsKnownMissing("slow.example")) << "a slow name is not a missing one";

    gate->release.set_value();
    EXPECT_TRUE(test::WaitUntil([&] { return gate->left.load(); }));
}

}  // namespace
}  // namespace veldmoor
