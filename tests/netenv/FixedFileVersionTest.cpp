#include "netenv/FixedFileVersion.h"

#include <gtest/gtest.h>

#include <string>

namespace veldmoor {
namespace {

std::string Block(uint32_t mostSignificant, uint32_t leastSignificant) {
    std::string block(52, '\0');
    auto put = [&block](std::size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) block[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    };
    put(0, 0xFEEF04BD);
    put(4, 0x00010000);
    put(8, mostSignificant);
    put(12, leastSignificant);
    return block;
}

TEST(FixedFileVersionTest, SplitsTheTwoVersionWordsIntoFourParts) {
    const std::string bytes = std::string(64, 'x') + Block(0x00050002, 0x0ECEFFFF);
    EXPECT_EQ(FixedFileVersionOf(bytes), (FileVersion{5, 2, 3790, 65535}));
}

TEST(FixedFileVersionTest, TakesOnlyWholeAlignedBlocks) {
    struct Case {
        const char* name;
        std::string bytes;
        FileVersion version;
    };
    const std::string block = Block(0x00060001, 0x1DB10000);
    const FileVersion v6{6, 1, 7601, 0};
    const Case cases[] = {
        {"block at the start", block, v6},
        {"block ending at the end", std::string(8, 'x') + block, v6},
        {"unaligned block", std::string(6, 'x') + block + std::string(8, 'x'), {}},
        {"block cut off by the end", std::string(8, 'x') + block.substr(0, 51), {}},
        {"signature only", block.substr(0, 4), {}},
        {"empty file", std::string(), {}},
        {"first of two blocks", block + Block(0x00040000, 0), v6},
    };
    for (const auto& c : cases) EXPECT_EQ(FixedFileVersionOf(c.bytes), c.version) << c.name;
}

}  // namespace
}  // namespace veldmoor
