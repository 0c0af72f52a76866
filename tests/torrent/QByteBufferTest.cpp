#include <gtest/gtest.h>

#include <string>

#include "torrent/QByteBuffer.h"

namespace veldmoor {
namespace {

TEST(QByteBufferTest, GrowsByTheAppendPlusSpareForSmallAppends) {
    struct Step {
        size_t append;
        size_t capacityAfter;
    };
    const Step steps[] = {
        {10, 10 + 2048},      // small append: room for it plus 2048
        {2048, 2058},         // fits in what is free
        {3000, 2058 + 3000},  // large append: room for exactly it
        {1, 5058 + 1 + 2048},
    };
    QByteBuffer buffer;
    EXPECT_EQ(buffer.GetCapacity(), 0u);
    EXPECT_STREQ(buffer.GetData(), "");
    std::string expected;
    char next = 'a';
    for (const Step& step : steps) {
        SCOPED_TRACE(step.append);
        const std::string bytes(step.append, next);
        next = static_cast<char>(next + 1);
        ASSERT_TRUE(buffer.Append(bytes.data(), bytes.size()));
        expected += bytes;
        EXPECT_EQ(buffer.GetCapacity(), step.capacityAfter);
        EXPECT_EQ(buffer.GetView(), expected);
        EXPECT_EQ(buffer.GetData()[buffer.GetLength()], '\0');
    }
}

TEST(QByteBufferTest, ReserveAndClearKeepWhatTheyShould) {
    QByteBuffer buffer;
    buffer.Reserve(100);
    buffer.Append("abc");
    EXPECT_EQ(buffer.GetCapacity(), 100u);
    EXPECT_EQ(buffer.GetView(), "abc");
    buffer.Reserve(10);
    EXPECT_EQ(buffer.GetCapacity(), 100u);
    buffer.Clear();
    EXPECT_EQ(buffer.GetLength(), 0u);
    EXPECT_EQ(buffer.GetCapacity(), 100u);
    EXPECT_STREQ(buffer.GetData(), "");
    EXPECT_FALSE(buffer.Append(nullptr, 3));
    EXPECT_TRUE(buffer.Append(nullptr, 0));
    EXPECT_EQ(buffer.GetLength(), 0u);
}

}  // namespace
}  // namespace veldmoor
