#include "platform/SocketPoll.h"

#include <cerrno>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace veldmoor::platform {

int PollSockets(std::vector<SocketInterest>& interests, int timeoutMs) {
    std::vector<pollfd> entries(interests.size());
    for (size_t i = 0; i < interests.size(); ++i) {
        entries[i].fd = interests[i].socket;
        entries[i].events = static_cast<short>((interests[i].wantRead ? POLLIN : 0) | (interests[i].wantWrite ? POLLOUT : 0));
    }
    int ready = 0;
    do {
        ready = ::poll(entries.data(), entries.size(), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -errno;
    for (size_t i = 0; i < interests.size(); ++i) {
        interests[i].readable = (entries[i].revents & POLLIN) != 0;
        interests[i].writable = (entries[i].revents & POLLOUT) != 0;
        interests[i].failed = (entries[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return ready;
}

int ShutdownSending(SocketHandle socket) { return ::shutdown(socket, SHUT_WR) == 0 ? 0 : -errno; }

long RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace veldmoor::platform
