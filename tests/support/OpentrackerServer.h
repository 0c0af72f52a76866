#pragma once
// A real opentracker on loopback, HTTP and UDP on one port, for the length of
// a test. Debian's build serves only torrents on its whitelist, changes root
// into its folder when started as root, and knows a peer only by the address
// its request came from (an "ip" parameter or the UDP address field is
// ignored): a peer that should be known as 127.0.0.x announces from there.
// Its answers list the announcing peer itself too.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace veldmoor::test {

class OpentrackerServer {
public:
    ~OpentrackerServer() { Stop(); }

    // Serves the torrents of `infoHashes` from a folder made in `workFolder`.
    // The port, or 0 when opentracker is missing or did not start.
    int Start(const std::vector<std::array<uint8_t, 20>>& infoHashes, const std::string& workFolder);
    void Stop() { process_.Stop(); }
    int Port() const { return port_; }
    // "http://127.0.0.1:PORT/announce" or "udp://127.0.0.1:PORT/announce".
    std::string AnnounceUrl(bool udp) const;

private:
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace veldmoor::test
