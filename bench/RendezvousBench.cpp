// The rendezvous dispatch's cost per datagram, with an empty and with a full
// registration table: a REGISTER of a new key from a new address (stored,
// refused, or stored in place of a silent one) and the keep-alive of a
// registered node.
//
//   rendezvous_bench                 every case, best of 5 runs, ns per datagram
//   rendezvous_bench CASE [COUNT]    one case, once; under
//     valgrind --tool=callgrind --collect-atstart=no rendezvous_bench CASE 1000
//   only the measured datagrams are counted: instructions / COUNT per datagram.
#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "udp/RendezvousService.h"

namespace {

using namespace veldmoor::udp;

constexpr size_t kTableSize = 100000;
constexpr int64_t kStartMs = 1'000'000;

// Only the table is measured: the rate limits are opened wide, and a source
// table large enough never fills.
template <typename Limits>
Limits Unlimited() {
    Limits limits;
    limits.maxRegistrations = kTableSize;
    limits.maxSources = 100 * kTableSize;
    if constexpr (requires { limits.globalBurst; }) {
        limits.globalBurst = 1e12;
        limits.globalDatagramsPerSecond = 1e12;
        limits.maxRegistrationsPerAddress = kTableSize;
    }
    return limits;
}

std::vector<uint8_t> Register(uint32_t number) {
    std::vector<uint8_t> bytes(kRegisterSize, 0);
    PutU32(bytes.data() + 12, kRegisterType);
    NodeKey key{0xC0, 0xC1, 0, 0, 0, 0, 0, 0};
    PutU32(key.data() + 4, number);
    PutBytes(bytes.data() + 16, MakeOwnIdentity(key));
    PutU32(bytes.data() + 32, 0x0100000A);  // 10.0.0.1: behind NAT
    PutU32(bytes.data() + 36, 6881);
    return bytes;
}

// A distinct public address for every number, none of them special.
uint32_t Source(uint32_t number) { return __builtin_bswap32(0x0B000000u + number); }

struct Case {
    const char* name;
    size_t registeredBefore;
    int64_t measuredAtMs;  // after the table was filled at kStartMs
    bool keepAlive;
};

const Case kCases[] = {
    {"register-empty", 0, kStartMs, false},
    {"register-full", kTableSize, kStartMs, false},
    // Nobody kept the table's nodes alive for two minutes: each new key takes a silent node's place.
    {"register-full-silent", kTableSize, kStartMs + 121'000, false},
    {"keepalive-full", kTableSize, kStartMs, true},
};

// Returns nanoseconds per measured datagram.
double Run(const Case& c, uint32_t count, bool underValgrind) {
    RendezvousService service(Unlimited<RendezvousLimits>(), [](const uint8_t*, size_t, uint32_t, uint16_t) {});
    for (uint32_t i = 0; i < c.registeredBefore; ++i) {
        const std::vector<uint8_t> message = Register(i);
        service.HandleDatagram(message.data(), message.size(), Source(i), 5000, kStartMs);
    }
    std::vector<std::vector<uint8_t>> messages;
    for (uint32_t i = 0; i < count; ++i) {
        messages.push_back(c.keepAlive ? std::vector<uint8_t>(kKeepAliveSize, 0) : Register(1'000'000 + i));
    }
    const auto started = std::chrono::steady_clock::now();
    if (underValgrind) CALLGRIND_TOGGLE_COLLECT;
    for (uint32_t i = 0; i < count; ++i) {
        // Keep-alives come from registered nodes, spread over the table.
        const uint32_t source = c.keepAlive ? Source(static_cast<uint32_t>((i * 7919u) % kTableSize)) : Source(1'000'000 + i);
        service.HandleDatagram(messages[i].data(), messages[i].size(), source, 5000, c.measuredAtMs);
    }
    if (underValgrind) CALLGRIND_TOGGLE_COLLECT;
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (service.Registrations() == 0) std::puts("nothing registered");
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2) {
        for (const Case& c : kCases) {
            if (std::strcmp(argv[1], c.name) != 0) continue;
            const uint32_t count = argc >= 3 ? static_cast<uint32_t>(std::stoul(argv[2])) : 1000;
            std::printf("%s: %.0f ns per datagram over %u\n", c.name, Run(c, count, RUNNING_ON_VALGRIND), count);
            return 0;
        }
        std::fprintf(stderr, "unknown case %s\n", argv[1]);
        return 2;
    }
    for (const Case& c : kCases) {
        double best = 1e300;
        for (int repetition = 0; repetition < 5; ++repetition) best = std::min(best, Run(c, 20000, false));
        std::printf("%-22s %10.0f ns per datagram (best of 5 runs of 20000)\n", c.name, best);
    }
    return 0;
}
