#include "peers/ConnectionRace.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace veldmoor {

ConnectionRace::ConnectionRace(std::vector<Endpoint> targets, uint32_t nowMs, uint32_t staggerMs)
    : targets_(std::move(targets)), lastStartMs_(nowMs), staggerMs_(staggerMs) {
    Step(nowMs);
}

ConnectionRace::~ConnectionRace() {
    CloseRunning();
    platform::CloseSocket(winnerHandle_);
}

ConnectionRace::State ConnectionRace::Step(uint32_t nowMs) {
    if (state_ != State::kRunning) return state_;
    CheckRunning();
    if (state_ == State::kRunning) StartDue(nowMs);
    if (state_ == State::kRunning && running_.empty() && next_ >= targets_.size()) state_ = State::kLost;
    return state_;
}

void ConnectionRace::CheckRunning() {
    if (running_.empty()) return;
    std::vector<platform::SocketHandle> sockets = RunningSockets();
    std::vector<bool> ready;
    if (platform::WaitOnSockets(sockets, platform::SocketWait::kWritable, 0, ready) <= 0) return;
    for (size_t i = 0; i < running_.size();) {
        if (!ready[i]) {
            ++i;
            continue;
        }
        const int error = platform::PendingSocketError(running_[i].handle);
        if (error == 0) {
            winnerHandle_ = running_[i].handle;
            winner_ = running_[i].target;
            running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
            CloseRunning();
            state_ = State::kWon;
            return;
        }
        lastError_ = error < 0 ? -error : error;
        platform::CloseSocket(running_[i].handle);
        running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
        ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void ConnectionRace::StartDue(uint32_t nowMs) {
    // A failed attempt makes room for the next at once; a running one holds it back for the stagger.
    while (next_ < targets_.size() && (running_.empty() || nowMs - lastStartMs_ >= staggerMs_)) {
        const Endpoint target = targets_[next_++];
        lastStartMs_ = nowMs;
        const int opened = platform::OpenStreamSocket(target.address.Family());
        if (opened < 0) {
            lastError_ = -opened;
            continue;
        }
        const int result = platform::ConnectSocket(opened, target);
        if (result == 0) {
            CloseRunning();
            winnerHandle_ = opened;
            winner_ = target;
            state_ = State::kWon;
            return;
        }
        if (!platform::IsWouldBlock(result)) {
            lastError_ = -result;
            platform::CloseSocket(opened);
            continue;
        }
        running_.push_back({opened, target});
    }
}

void ConnectionRace::CloseRunning() {
    for (const Attempt& attempt : running_) platform::CloseSocket(attempt.handle);
    running_.clear();
}

platform::SocketHandle ConnectionRace::TakeWinner() { return std::exchange(winnerHandle_, platform::kNoSocket); }

std::vector<platform::SocketHandle> ConnectionRace::RunningSockets() const {
    std::vector<platform::SocketHandle> sockets;
    for (const Attempt& attempt : running_) sockets.push_back(attempt.handle);
    return sockets;
}

int ConnectionRace::MsUntilNextAttempt(uint32_t nowMs) const {
    if (next_ >= targets_.size()) return -1;
    const uint32_t waited = nowMs - lastStartMs_;
    return waited >= staggerMs_ ? 0 : static_cast<int>(staggerMs_ - waited);
}

std::vector<IpAddress> RaceOrder(const std::vector<IpAddress>& addresses) {
    std::vector<IpAddress> v6, v4, ordered;
    for (const IpAddress& address : addresses) (address.IsV6() ? v6 : v4).push_back(address);
    for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size()) ordered.push_back(v6[i]);
        if (i < v4.size()) ordered.push_back(v4[i]);
    }
    return ordered;
}

}  // namespace veldmoor
