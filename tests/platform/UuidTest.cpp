#include "platform/Uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace veldmoor::platform {
namespace {

TEST(UuidTest, EveryCallGivesANewIdentifier) {
    std::set<std::array<uint8_t, 16>> seen;
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(seen.insert(NewUuid()).second) << "repeated at call " << i;
}

TEST(UuidTest, BytesAreNotConstant) {
    // A generator that fails silently tends to hand out zeros or one fixed byte.
    std::array<bool, 16> varies{};
    const auto first = NewUuid();
    for (int i = 0; i < 64; ++i) {
        const auto next = NewUuid();
        for (std::size_t b = 0; b < next.size(); ++b) varies[b] = varies[b] || next[b] != first[b];
    }
    for (std::size_t b = 0; b < varies.size(); ++b) EXPECT_TRUE(varies[b]) << "byte " << b;
}

}  // namespace
}  // namespace veldmoor::platform
