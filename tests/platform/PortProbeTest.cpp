#include "platform/PortProbe.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor::platform {
namespace {

// A socket of `type` bound to a port the system picks on every address; the
// port is returned, the socket stays open in `fd`.
uint16_t BindAnyPort(int type, int& fd) {
    fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
    if (type == SOCK_STREAM) ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST(PortProbeTest, APortBoundForTcpOrUdpIsInUseAndFreeAgainOnceClosed) {
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        int fd = -1;
        const uint16_t port = BindAnyPort(type, fd);
        ASSERT_NE(port, 0);
        EXPECT_TRUE(LocalPortInUse(port)) << (type == SOCK_STREAM ? "TCP" : "UDP");
        ::close(fd);
        EXPECT_FALSE(LocalPortInUse(port)) << (type == SOCK_STREAM ? "TCP" : "UDP");
    }
}

}  // namespace
}  // namespace veldmoor::platform
