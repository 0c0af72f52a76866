// veldmoor-natd's dispatch faces the open internet. Each input is a run of
// datagrams: a control byte picks one of four source addresses and moves the
// clock, then a length byte and the datagram. Nothing may crash and the
// registration table stays within its limit (the reply-size rules have their
// own unit tests).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>

#include "udp/RendezvousService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using veldmoor::udp::RendezvousLimits;
    using veldmoor::udp::RendezvousService;
    RendezvousLimits limits;
    limits.maxRegistrations = 3;
    limits.maxSources = 3;
    RendezvousService service(limits, [](const uint8_t*, size_t, uint32_t, uint16_t) {});
    int64_t nowMs = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t control = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        const uint32_t ip = 0x0A000001u + (control & 3u);
        const uint16_t port = static_cast<uint16_t>(4000 + (control & 3u));
        nowMs += (control >> 2) * 1000;
        service.HandleDatagram(data + at + 2, length, ip, port, nowMs);
        service.Expire(nowMs);
        if (service.Registrations() > limits.maxRegistrations) std::abort();
        at += 2 + length;
    }
    return 0;
}
