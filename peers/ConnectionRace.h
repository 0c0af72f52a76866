#pragma once
// Connecting to a host with several addresses the way RFC 8305 asks: the
// first attempt at once, the next whenever the stagger passes without a
// connection or the running attempts have all failed, the first connection to
// complete wins and the others are closed. A dead IPv6 route so costs one
// stagger, not a connect time-out.
#include <cstdint>
#include <vector>

#include "platform/IpAddress.h"
#include "platform/Socket.h"

namespace veldmoor {

class ConnectionRace {
public:
    static constexpr uint32_t kStaggerMs = 250;
    enum class State { kRunning, kWon, kLost };

    // `targets` in the order to try (see RaceOrder); the clock is the caller's
    // millisecond tick, so a test can drive it.
    ConnectionRace(std::vector<Endpoint> targets, uint32_t nowMs, uint32_t staggerMs = kStaggerMs);
    ~ConnectionRace();
    ConnectionRace(const ConnectionRace&) = delete;
    ConnectionRace& operator=(const ConnectionRace&) = delete;

    // Looks at the running attempts and starts the next when it is due. Never waits.
    State Step(uint32_t nowMs);
    State Current() const { return state_; }
    // After kWon: the connected socket (handed over once) and where it leads.
    platform::SocketHandle TakeWinner();
    const Endpoint& WinnerEndpoint() const { return winner_; }
    // The error the last failed attempt ended with (errno), 0 when none failed.
    int LastError() const { return lastError_; }
    size_t AttemptsStarted() const { return next_; }
    // The running attempts' sockets, for a caller that waits on them.
    std::vector<platform::SocketHandle> RunningSockets() const;
    // Milliseconds until the next attempt is due; -1 when none is left to start.
    int MsUntilNextAttempt(uint32_t nowMs) const;

private:
    struct Attempt {
        platform::SocketHandle handle = platform::kNoSocket;
        Endpoint target;
    };

    void CheckRunning();
    void StartDue(uint32_t nowMs);
    void CloseRunning();

    std::vector<Endpoint> targets_;
    std::vector<Attempt> running_;
    size_t next_ = 0;
    uint32_t lastStartMs_ = 0;
    uint32_t staggerMs_;
    State state_ = State::kRunning;
    platform::SocketHandle winnerHandle_ = platform::kNoSocket;
    Endpoint winner_;
    int lastError_ = 0;
};

// The order to try a host's addresses in: IPv6 first, then the families
// alternate, each family keeping the resolver's order.
std::vector<IpAddress> RaceOrder(const std::vector<IpAddress>& addresses);

}  // namespace veldmoor
