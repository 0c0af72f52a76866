#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "netenv/LocalNetwork.h"
#include "netenv/UpnpPortMapping.h"


namespace veldmoor {
namespace {

TEST(PortChoiceTest, FirstCandidateIsOnePastTheRandomStartAndSkipsExcludedPorts) {
    const std::pair<uint32_t, int> cases[] = {
        {0, 40001},       {9999, 50000},      {10000, 40001},  {4443, 44445},  // 44444 is excluded
        {420, 40424},     // 40421, 40422 and 40423 are excluded
        {47261, 47263},   // 47261 % 10000 = 7261 -> 47262, excluded
        {3957, 43959},
    };
    for (const auto& [random, expected] : cases) EXPECT_EQ(FirstCandidatePort(random), expected) << random;
}

TEST(PortChoiceTest, NextCandidateSkipsExcludedPortsAndWrapsPastTheRange) {
    const std::pair<int, int> cases[] = {
        {40000, 40001}, {40411, 40413}, {40420, 40424}, {40425, 40427},
        {43957, 43959}, {47261, 47263}, {49999, 50000}, {50000, 40000},
    };
    for (const auto& [port, expected] : cases) EXPECT_EQ(NextCandidatePort(port), expected) << port;
}

TEST(PortChoiceTest, EveryPortInUseTriesEachPortOfTheRangeOnceAndFindsNone) {
    std::vector<int> probed;
    EXPECT_EQ(ChooseListeningPort(45678, [&](int port) {
        probed.push_back(port);
        return true;
    }), 0);
    const std::set<int> distinct(probed.begin(), probed.end());
    EXPECT_EQ(distinct.size(), probed.size()) << "a port was probed twice";
    EXPECT_EQ(probed.size(), 10001u - 8u);  // 40000..50000 without the excluded ports
    EXPECT_EQ(*distinct.begin(), 40000);
    EXPECT_EQ(*distinct.rbegin(), 50000);
    for (int excluded : {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262}) {
        EXPECT_FALSE(distinct.count(excluded)) << excluded;
    }
}

TEST(PortChoiceTest, TakesTheFirstFreePortFromTheStartWrappingToTheRangeStart) {
    EXPECT_EQ(ChooseListeningPort(45000, [](int) { return false; }), 45000);
    EXPECT_EQ(ChooseListeningPort(45000, [](int port) { return port != 45003; }), 45003);
    EXPECT_EQ(ChooseListeningPort(45000, [](int port) { return port != 40000; }), 40000);
    EXPECT_EQ(ChooseListeningPort(45000, [](int port) { return port != 44999; }), 44999);
}

}  // namespace
}  // namespace veldmoor
