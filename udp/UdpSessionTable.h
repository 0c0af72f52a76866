#pragma once
// Every session record the server holds, by the list it is in, with the free
// pool records are recycled through, the session ids and the packet buffers.
//
// Not locked itself: the server's lock guards it (one owner at a time).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "udp/UdpBufferPool.h"
#include "udp/UdpEnvironment.h"
#include "udp/UdpSession.h"

namespace veldmoor::udp {

using SessionList = std::vector<std::unique_ptr<UdpSession>>;

class UdpSessionTable {
public:
    static constexpr size_t kMaxFreeSessions = 256;

    explicit UdpSessionTable(IUdpClock& clock);

    // Sockets made by UdpSocket, outgoing connections and accepted ones.
    SessionList& Connections() { return connections_; }
    // Bound and listening handles.
    SessionList& Listeners() { return listeners_; }
    // Incoming connections not yet taken by UdpAccept.
    SessionList& AcceptQueue() { return acceptQueue_; }
    // Peers the NAT server introduced, punched a few times.
    SessionList& PunchList() { return punchList_; }
    UdpBufferPool& Buffers() { return buffers_; }

    // A fresh record with a new id and nonce, from the free pool when it has one.
    std::unique_ptr<UdpSession> Take();
    // Gives its buffers back and keeps the record for reuse.
    void Release(std::unique_ptr<UdpSession> session);
    void FreeWindows(UdpSession& session);
    // Drops every queued outgoing packet; the send base moves past them.
    void FreeSendWindow(UdpSession& session);
    // Forgets every session and the free pool.
    void Clear();

    static UdpSession* FindIn(SessionList& list, int handle);
    static std::unique_ptr<UdpSession> RemoveFrom(SessionList& list, const UdpSession* session);
    // Removes and releases the entry at `index`.
    void ReleaseAt(SessionList& list, size_t index);
    // A session made by UdpSocket, bound, or waiting to be accepted.
    std::optional<SessionInfo> Describe(int handle);

private:
    int32_t NewSessionId();

    IUdpClock& clock_;
    SessionList connections_;
    SessionList listeners_;
    SessionList acceptQueue_;
    SessionList punchList_;
    SessionList freePool_;
    int32_t nextSessionId_ = 1;
    UdpBufferPool buffers_;
};

}  // namespace veldmoor::udp
