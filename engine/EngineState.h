#pragma once
// Engine-wide state shared by every job. Everything here is read and changed
// under the job-list lock (EngineJobListLock), except the API lock itself.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/IncomingConnections.h"
#include "engine/LocalDiscovery.h"
#include "foundation/RecursiveMutex.h"

namespace veldmoor {

class WorkerThread;

using ClientGuid = std::array<uint8_t, 16>;

struct InfoHashEntry {
    std::array<uint8_t, 22> record{};  // the info hash and two zero bytes
    WorkerThread* job = nullptr;
};

class EngineState {
public:
    static constexpr int32_t kInitialAttemptCap = 64;
    static constexpr int32_t kDefaultListenPort = 8080;

    // Serialises the task interface; job threads never take it.
    RecursiveMutex apiLock;

    bool initialised = false;
    std::string workingFolder;
    int socketLayerStarts = 0;

    std::vector<WorkerThread*> jobs;
    std::vector<InfoHashEntry> infoHashes;
    std::vector<InfoHashEntry> bandwidthList;

    bool peerToPeer = false;
    int32_t listenPort = 0;  // 0: use kDefaultListenPort
    bool httpWrapping = false;
    bool haveClientGuid = false;
    ClientGuid clientGuid{};
    int32_t connectionAttemptCap = kInitialAttemptCap;
    bool udpServiceOff = false;
    bool reachableFromOutside = false;

    // The peer sets' shared parts: the listener with the connections it
    // accepted, and the local-network announcements with their socket.
    IncomingConnections incoming;
    LocalAnnouncements localAnnouncements;
    // Every 180 s the listener's address is compared with this host's.
    bool addressCheck = true;

    int32_t EffectiveListenPort() const { return listenPort != 0 ? listenPort : kDefaultListenPort; }
};

// The engine of this process.
EngineState& TheEngine();

}  // namespace veldmoor
