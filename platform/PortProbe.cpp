#include "platform/PortProbe.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

bool CanBind(int type, uint16_t port, bool allowReuse) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (allowReuse) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

}  // namespace

bool LocalPortInUse(uint16_t port) {
    return !CanBind(SOCK_STREAM, port, true) || !CanBind(SOCK_DGRAM, port, false);
}

}  // namespace veldmoor::platform
