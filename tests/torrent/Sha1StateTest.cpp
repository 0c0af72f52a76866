#include <gtest/gtest.h>

#include <string>

#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/Sha1State.h"

namespace veldmoor {
namespace {

uint32_t WordAt(const Sha1StateImage& image, size_t at) {
    return uint32_t{image[at]} | uint32_t{image[at + 1]} << 8 | uint32_t{image[at + 2]} << 16 |
           uint32_t{image[at + 3]} << 24;
}

TEST(Sha1StateTest, ImageHasTheSavedLayout) {
    Sha1Hasher hasher;
    hasher.Update("abc", 3);
    const Sha1StateImage image = hasher.ToImage();
    // No block is complete yet: the intermediate hash is still the initial one.
    EXPECT_EQ(WordAt(image, 0), 0x67452301u);
    EXPECT_EQ(WordAt(image, 16), 0xC3D2E1F0u);
    EXPECT_EQ(WordAt(image, 20), 24u);  // bits, low word
    EXPECT_EQ(WordAt(image, 24), 0u);   // bits, high word
    EXPECT_EQ(image[28] | image[29] << 8, 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data() + 30), 3), "abc");
    EXPECT_EQ(WordAt(image, 96), 0u);
    EXPECT_EQ(WordAt(image, 100), 0u);
}

TEST(Sha1StateTest, ResumingFromAnImageGivesTheDigestOfTheWhole) {
    const std::string data = test::Content(5000, 7);
    for (size_t split : {size_t{0}, size_t{3}, size_t{63}, size_t{64}, size_t{65}, size_t{1000}, size_t{4999}}) {
        SCOPED_TRACE(split);
        Sha1Hasher first;
        first.Update(data.data(), split);
        Sha1Hasher resumed;
        resumed.Update("unrelated", 9);
        ASSERT_TRUE(resumed.FromImage(first.ToImage(), split));
        EXPECT_EQ(resumed.BytesHashed(), split);
        resumed.Update(data.data() + split, data.size() - split);
        const Sha1Digest digest = resumed.Digest();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(digest.data()), digest.size()), test::Sha1Bytes(data));
    }
}

TEST(Sha1StateTest, ImagesThatAreNotARunningStateAreRefused) {
    Sha1Hasher source;
    const std::string data = test::Content(130, 3);
    source.Update(data);
    const Sha1StateImage good = source.ToImage();
    ASSERT_EQ(good[28], 2);  // 130 = 2 blocks + 2 buffered bytes

    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
        uint64_t claimed;
    };
    const Case cases[] = {
        {"bit count does not match the claimed length", 20, 0, 130},
        {"buffered count disagrees with the length", 28, 5, 130},
        {"buffered count beyond the block", 28, 64, 130},
        {"computed flag set", 96, 1, 130},
        {"corrupted flag set", 100, 1, 130},
        {"claimed length differs", 0, good[0], 129},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sha1StateImage image = good;
        image[c.at] = c.value;
        Sha1Hasher target;
        target.Update("keep", 4);
        const Sha1Digest before = target.Digest();
        EXPECT_FALSE(target.FromImage(image, c.claimed));
        EXPECT_EQ(target.Digest(), before) << "a refused image must leave the hasher alone";
    }
    Sha1Hasher target;
    EXPECT_TRUE(target.FromImage(good, 130));
}

}  // namespace
}  // namespace veldmoor
