#pragma once
// A block asked of a remote party. Records are 12 bytes so that they fit the
// block-request pool's records.
#include <cstdint>

namespace veldmoor {

struct BlockRequest {
    int32_t block = 0;      // global block number: the byte position / 16384
    int32_t length = 0;     // 1..16384
    int32_t createdAt = 0;  // seconds
};
static_assert(sizeof(BlockRequest) == 12);

}  // namespace veldmoor
