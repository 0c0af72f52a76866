#include "platform/Uuid.h"

#include <cerrno>
#include <cstddef>
#include <random>
#include <sys/random.h>
#include <sys/types.h>

namespace veldmoor::platform {

std::array<uint8_t, 16> NewUuid() {
    std::array<uint8_t, 16> uuid{};
    std::size_t filled = 0;
    while (filled < uuid.size()) {
        const ssize_t got = ::getrandom(uuid.data() + filled, uuid.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    // A kernel without getrandom: fall back rather than hand out a fixed id.
    if (filled < uuid.size()) {
        std::random_device device;
        for (std::size_t i = filled; i < uuid.size(); ++i) {
            uuid[i] = static_cast<uint8_t>(device());
        }
    }
    return uuid;
}

}  // namespace veldmoor::platform
