#include "peers/QBufferPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "peers/QSocketBuffer.h"

namespace veldmoor {
namespace {

// A script of pool operations on named buffers, checked step by step.
struct PoolStep {
    enum Action { kTake, kGive, kTrim } action;
    const char* name;
    size_t size;            // Take: the request; Trim: the limit
    const char* reuses;     // Take: the name of the given-back buffer it must get, or nullptr for a new one
    size_t totalAfter;      // bytes in use plus free
    size_t freeCountAfter;
};

TEST(QBufferPoolTest, FollowsTheTakeGiveAndTrimRules) {
    const PoolStep steps[] = {
        {PoolStep::kTake, "a", 1000, nullptr, 1000, 0},
        {PoolStep::kTake, "b", 5000, nullptr, 6000, 0},
        {PoolStep::kTake, "c", 300, nullptr, 6300, 0},
        {PoolStep::kGive, "a", 0, nullptr, 6300, 1},
        {PoolStep::kGive, "b", 0, nullptr, 6300, 2},
        {PoolStep::kGive, "c", 0, nullptr, 6300, 3},
        // An exact size wins even over an earlier buffer that would fit.
        {PoolStep::kTake, "d", 300, "c", 6300, 2},
        {PoolStep::kGive, "d", 0, nullptr, 6300, 3},
        // 1000 bytes serve 600: larger by 400, less than min(600, 1024).
        {PoolStep::kTake, "e", 600, "a", 6300, 2},
        {PoolStep::kGive, "e", 0, nullptr, 6300, 3},
        // ...but not 500: larger by 500, which is not less than min(500, 1024).
        {PoolStep::kTake, "f", 500, nullptr, 6800, 3},
        // 5000 bytes serve 4000 (1000 < 1024) but not 3976 (1024 is not less).
        {PoolStep::kTake, "g", 3976, nullptr, 10776, 3},
        {PoolStep::kTake, "h", 4000, "b", 10776, 2},
        {PoolStep::kGive, "f", 0, nullptr, 10776, 3},
        {PoolStep::kGive, "g", 0, nullptr, 10776, 4},
        {PoolStep::kGive, "h", 0, nullptr, 10776, 5},
        // Free list order is the order of giving back: 300, 1000, 500, 3976, 5000.
        // Kept while the running total stays within 2000: 300, 1000, 500.
        {PoolStep::kTrim, "", 2000, nullptr, 1800, 3},
        {PoolStep::kTrim, "", 0, nullptr, 0, 0},
    };

    QBufferPool pool;
    std::map<std::string, uint8_t*> buffers;
    std::map<uint8_t*, std::string> givenBack;
    for (const PoolStep& step : steps) {
        SCOPED_TRACE(std::string(step.name) + " " + std::to_string(step.size));
        switch (step.action) {
            case PoolStep::kTake: {
                uint8_t* buffer = pool.Take(step.size);
                ASSERT_NE(buffer, nullptr);
                if (step.reuses) {
                    EXPECT_EQ(buffer, buffers.at(step.reuses));
                } else {
                    EXPECT_EQ(givenBack.count(buffer), 0u) << "expected a new buffer";
                    EXPECT_EQ(buffer[step.size], 0) << "a new buffer ends in NUL";
                }
                givenBack.erase(buffer);
                std::memset(buffer, 'x', step.size);  // the whole requested size is usable
                buffers[step.name] = buffer;
                break;
            }
            case PoolStep::kGive:
                pool.Give(buffers.at(step.name));
                givenBack[buffers.at(step.name)] = step.name;
                break;
            case PoolStep::kTrim: pool.Trim(step.size); break;
        }
        EXPECT_EQ(pool.TotalBytes(), step.totalAfter);
        EXPECT_EQ(pool.FreeCount(), step.freeCountAfter);
    }
}

TEST(QBufferPoolTest, TheFreeListKeepsOnlyTheMostRecentBuffersWithinItsLimit) {
    QBufferPool pool(10000);
    std::vector<uint8_t*> taken;
    for (size_t size : {4000, 3000, 2000, 6000}) taken.push_back(pool.Take(size));
    pool.Give(taken[0]);
    pool.Give(taken[1]);
    pool.Give(taken[2]);
    EXPECT_EQ(pool.FreeBytes(), 9000u);
    // 6000 more would make 15000: the oldest (4000) and then 3000 go.
    pool.Give(taken[3]);
    EXPECT_EQ(pool.FreeBytes(), 8000u);
    EXPECT_EQ(pool.FreeCount(), 2u);
    EXPECT_EQ(pool.TotalBytes(), 8000u) << "dropped buffers are freed, not kept in use";
    EXPECT_EQ(pool.Take(2000), taken[2]);
    EXPECT_EQ(pool.FreeBytes(), 6000u);

    // A buffer larger than the whole limit is not kept at all.
    pool.Give(pool.Take(20000));
    EXPECT_EQ(pool.FreeBytes(), 0u);
}

TEST(QBufferPoolTest, IgnoresBuffersItDidNotHandOut) {
    QBufferPool pool;
    uint8_t* own = pool.Take(10);
    uint8_t stranger[16] = {};
    pool.Give(stranger);
    pool.Give(nullptr);
    pool.Give(own);
    pool.Give(own);  // twice: the second is not in use any more
    EXPECT_EQ(pool.FreeCount(), 1u);
    EXPECT_EQ(pool.InUseCount(), 0u);
    EXPECT_EQ(pool.TotalBytes(), 10u);
    EXPECT_NE(pool.Take(0), nullptr) << "a size of 0 counts as 1";
}

TEST(QBufferPoolTest, TheSystemsPoolsAreSeparate) {
    uint8_t* request = BlockRequestPool().Take(12);
    BlockRequestPool().Give(request);
    EXPECT_NE(ConnectionBufferPool().Take(12), request);
    EXPECT_NE(&ConnectionBufferPool(), &DataBufferPool());
    EXPECT_NE(&PieceHashStatePool(), &UdpStreamPacketPool());
}

// Fills a buffer of `capacity` with `used` bytes, consumes `consumed` of them
// and reports the capacity afterwards.
size_t CapacityAfterConsume(size_t capacity, size_t used, long consumed, bool keep, std::string* remaining = nullptr) {
    QBufferPool pool;
    QSocketBuffer buffer(pool);
    buffer.MakeRoom(capacity, 0);
    std::string bytes(used, '\0');
    for (size_t i = 0; i < used; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    buffer.Append(reinterpret_cast<const uint8_t*>(bytes.data()), used);
    EXPECT_EQ(buffer.Capacity(), capacity);
    buffer.Consume(consumed, keep);
    if (remaining) {
        remaining->clear();
        if (buffer.Size() > 0) remaining->assign(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
    }
    if (buffer.Data()) {
        EXPECT_EQ(buffer.Data()[buffer.Size()], 0) << "a NUL follows the used bytes";
    }
    return buffer.Capacity();
}

TEST(QSocketBufferTest, ConsumeFitsTheMemoryToWhatRemains) {
    struct Case {
        size_t capacity;
        size_t used;
        long consumed;
        bool keep;
        size_t capacityAfter;
    };
    const Case cases[] = {
        {100000, 100000, 100000 - 10, false, 1024},        // large and nearly empty: to 1024
        {100000, 100000, 100000 - 2000, false, 3024},      // remainder + 1024
        {3000, 3000, 1000, false, 3000},                   // small: kept
        {3000, 3000, -1, false, 0},                        // nothing left: back to the pool
        {100000, 100000, 100000 - 10, true, 100000},       // keep: only moved
        {100000, 100000, 100000 - 20000, false, 100000},   // well filled (ratio 5): kept
        {3000000, 3000000, 3000000 - 600000, false, 660000},  // ratio 5 but 2.4 MB free: remainder + 10 %
        {3000000, 3000000, 3000000 - 1000000, false, 3000000},  // well filled, under 2101249 free: kept
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.capacity) + " consume " + std::to_string(c.consumed));
        EXPECT_EQ(CapacityAfterConsume(c.capacity, c.used, c.consumed, c.keep), c.capacityAfter);
    }
}

TEST(QSocketBufferTest, ConsumeMovesTheRemainderToTheFront) {
    std::string remaining;
    CapacityAfterConsume(100, 30, 26, false, &remaining);
    EXPECT_EQ(remaining, "abcd");
    CapacityAfterConsume(100, 30, 40, false, &remaining);
    EXPECT_EQ(remaining, "");
}

TEST(QSocketBufferTest, GrowsByTheNeedPlusSlack) {
    QBufferPool pool;
    QSocketBuffer buffer(pool);
    const uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    buffer.Append(bytes, sizeof(bytes));
    EXPECT_EQ(buffer.Capacity(), 10u + QSocketBuffer::kShrinkSlack);
    buffer.MakeRoom(5000, 2048);
    EXPECT_EQ(buffer.Capacity(), 1034u + 5000u + 2048u);
    EXPECT_EQ(std::memcmp(buffer.Data(), bytes, sizeof(bytes)), 0);
    buffer.Release();
    EXPECT_EQ(pool.InUseCount(), 0u);
}

}  // namespace
}  // namespace veldmoor
