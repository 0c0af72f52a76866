// Feeds arbitrary bytes to the chunked body decoder of an HTTP source.
// Beyond the sanitizers' checks, it traps when:
//  - the same bytes arriving in pieces, or decoded into a small output room
//    emptied between calls, give other data, another end or another verdict
//    than arriving whole;
//  - the decoder claims more input than it was given, or more data than the
//    input held;
//  - it is both done and failed, or takes input after it is done or failed;
//  - a size line or trailer held more than its bound without a failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "peers/HttpChunkedBody.h"

namespace {

using veldmoor::HttpChunkedDecoder;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "http_chunked_fuzz: %s\n", what);
    __builtin_trap();
}

struct Outcome {
    std::string data;
    size_t used = 0;
    bool done = false;
    bool failed = false;
};

// `pieceOf` picks how many more input bytes each call is offered; `room`
// bounds the output, which is moved out after every call.
template <typename PieceOf>
Outcome Decode(const uint8_t* input, size_t size, PieceOf pieceOf, size_t room) {
    HttpChunkedDecoder decoder;
    Outcome outcome;
    size_t offered = 0;
    for (size_t call = 0; call < 4 * size + 8; ++call) {
        offered = std::min(size, offered + pieceOf(call));
        std::string output;
        const size_t used = decoder.Decode({input + outcome.used, offered - outcome.used}, output, room);
        if (used > offered - outcome.used) Fail("more input used than offered");
        if (output.size() > room) Fail("output beyond its room");
        if (decoder.Done() && decoder.Failed()) Fail("done and failed");
        outcome.data += output;
        outcome.used += used;
        if (decoder.Done() || decoder.Failed()) break;
        if (used == 0 && output.empty() && offered == size) break;
    }
    if (outcome.data.size() > outcome.used) Fail("more data than input");
    outcome.done = decoder.Done();
    outcome.failed = decoder.Failed();
    if (outcome.done || outcome.failed) {
        std::string after;
        const uint8_t extra[] = {'1', '\r', '\n', 'x'};
        if (decoder.Decode({extra, sizeof extra}, after, 64) != 0 || !after.empty()) Fail("input taken after the end");
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Outcome whole = Decode(data, size, [size](size_t) { return size; }, size + 1);
    const Outcome pieces = Decode(
        data, size, [data, size](size_t call) { return size == 0 ? 1 : 1 + data[call % size] % 13u; }, size + 1);
    const Outcome narrow = Decode(data, size, [size](size_t) { return size; }, 3);
    for (const Outcome* other : {&pieces, &narrow}) {
        if (other->data != whole.data || other->used != whole.used || other->done != whole.done ||
            other->failed != whole.failed)
            Fail("pieces or a small room decode differently from whole");
    }
    if (!whole.failed && !whole.done && whole.used < size) Fail("input left over while neither done nor failed");
    return 0;
}
