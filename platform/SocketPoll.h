#pragma once
// Waiting on many sockets at once, each for what it needs (a server's loop).
#include <vector>

#include "platform/Socket.h"

namespace veldmoor::platform {

struct SocketInterest {
    SocketHandle socket = kNoSocket;
    bool wantRead = false;
    bool wantWrite = false;
    // Filled by PollSockets.
    bool readable = false;
    bool writable = false;
    bool failed = false;  // an error or hang-up: the next call on it reports it
};

// The number of sockets with something to report, 0 on time-out, -errno on
// failure. A negative timeout waits without limit.
int PollSockets(std::vector<SocketInterest>& interests, int timeoutMs);

// Tells the other side nothing more will be sent (its reads see the end)
// while this side can still read. 0 or -errno.
int ShutdownSending(SocketHandle socket);

// Lifts the soft limit on open descriptors to the hard limit, so a server can
// hold thousands of connections; the limit in force afterwards.
long RaiseOpenFileLimit();

}  // namespace veldmoor::platform
