#pragma once
// The pause after a job's turn. Instead of sleeping blind it waits in poll()
// on the sockets of connections that read all there was, and, while UDP
// stream transport connections are open, on the transport's wake event (data,
// room to send, an end). The connections that had input are stepped in the
// next turn whatever their rate. The job thread owns it.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Socket.h"
#include "platform/WakeEvent.h"

namespace veldmoor {

class TPeerObject;

class TurnWait {
public:
    TurnWait() = default;
    ~TurnWait();
    TurnWait(const TurnWait&) = delete;
    TurnWait& operator=(const TurnWait&) = delete;

    // Takes the connections to wait on from the open ones; `mayRead`: the
    // download budget lets them read more (else the pause only sleeps, or
    // waits on the transport's event).
    void Collect(const std::vector<TPeerObject*>& peers, bool mayRead);
    // Waits up to `ms` for input on the collected connections, else sleeps.
    void Pause(uint32_t ms);
    // The connection had input when the last pause ended.
    bool HadInput(const TPeerObject* peer) const;

private:
    // The transport's wake event, made and watched on first need; null when
    // no event can be made (the pause then polls transports between sleeps).
    platform::WakeEvent* TransportWake();
    void MarkReadyTransports();

    std::vector<platform::SocketHandle> waitingSockets_;
    std::vector<const TPeerObject*> waitingPeers_;
    std::vector<platform::SocketHandle> waitingTransports_;
    std::vector<const TPeerObject*> waitingTransportPeers_;
    std::vector<const TPeerObject*> readyPeers_;
    // Raised by the UDP stream transport when one of its sockets changed:
    // transport connections have no system handle for the pause to wait on.
    std::unique_ptr<platform::WakeEvent> transportWake_;
    bool transportPeers_ = false;
};

}  // namespace veldmoor
