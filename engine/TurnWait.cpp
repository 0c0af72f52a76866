#include "engine/TurnWait.h"

#include <algorithm>

#include "peers/StreamSocketOps.h"
#include "peers/TPeerObject.h"
#include "platform/Clock.h"

namespace veldmoor {

TurnWait::~TurnWait() {
    if (transportWake_) streamops::UnwatchTransports(transportWake_.get());
}

void TurnWait::Collect(const std::vector<TPeerObject*>& peers, bool mayRead) {
    waitingSockets_.clear();
    waitingPeers_.clear();
    waitingTransports_.clear();
    waitingTransportPeers_.clear();
    transportPeers_ = std::any_of(peers.begin(), peers.end(), [](const TPeerObject* peer) {
        const QSocket* connection = peer->InputConnection();
        return connection && connection->IsOpen() && connection->IsTransport();
    });
    if (!mayRead) return;
    for (const TPeerObject* peer : peers) {
        const QSocket* connection = peer->InputConnection();
        if (!peer->WaitsForInput() || !connection || !connection->IsOpen()) continue;
        if (connection->IsTransport()) {
            waitingTransports_.push_back(connection->Handle());
            waitingTransportPeers_.push_back(peer);
            continue;
        }
        waitingSockets_.push_back(connection->Handle());
        waitingPeers_.push_back(peer);
    }
}

platform::WakeEvent* TurnWait::TransportWake() {
    if (!transportWake_) {
        transportWake_ = std::make_unique<platform::WakeEvent>();
        if (transportWake_->IsValid()) streamops::WatchTransports(transportWake_.get());
    }
    return transportWake_->IsValid() ? transportWake_.get() : nullptr;
}

void TurnWait::MarkReadyTransports() {
    if (waitingTransports_.empty()) return;
    std::vector<platform::SocketHandle> readable = waitingTransports_;
    if (streamops::ReadableTransports(readable) <= 0) return;
    for (size_t i = 0; i < waitingTransports_.size(); ++i) {
        if (std::find(readable.begin(), readable.end(), waitingTransports_[i]) != readable.end())
            readyPeers_.push_back(waitingTransportPeers_[i]);
    }
}

void TurnWait::Pause(uint32_t ms) {
    readyPeers_.clear();
    // Transport connections wake the pause through their event: data that
    // came in, acknowledged packets (room to send) or an end. The event is
    // cleared before looking, so a change after the look still wakes.
    platform::WakeEvent* wake = transportPeers_ ? TransportWake() : nullptr;
    if (wake) wake->Clear();
    MarkReadyTransports();
    if (!readyPeers_.empty()) return;
    std::vector<platform::SocketHandle> handles = waitingSockets_;
    if (wake) handles.push_back(wake->Handle());
    if (handles.empty()) {
        platform::SleepMs(ms);
        return;
    }
    // Waking as soon as data arrives keeps a fast source streaming; the
    // sockets belong to this thread, so none closes during the wait.
    std::vector<bool> ready;
    if (platform::WaitOnSockets(handles, platform::SocketWait::kReadable, static_cast<int>(ms), ready) <= 0) return;
    for (size_t i = 0; i < waitingPeers_.size(); ++i)
        if (ready[i]) readyPeers_.push_back(waitingPeers_[i]);
    if (wake && ready.back()) MarkReadyTransports();
}

bool TurnWait::HadInput(const TPeerObject* peer) const {
    return std::find(readyPeers_.begin(), readyPeers_.end(), peer) != readyPeers_.end();
}

}  // namespace veldmoor
