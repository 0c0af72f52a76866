#pragma once
// Where statistics events go. The controller, the verify thread and the
// engine's threads raise events through this seam; reporting provides the
// real sink, tests capture events through their own. Every call returns at
// once: a sink never blocks or slows its caller.
#include <cstdint>
#include <string>

namespace veldmoor {

// The controller's transfer snapshot carried by progress events.
struct ProgressSnapshot {
    uint64_t totalSeconds = 0;    // download seconds of this run
    uint64_t totalBytes = 0;      // HTTP + peer bytes
    uint64_t averageSpeed = 0;    // bytes per second over totalSeconds
    std::string progressText;     // percentage text, "12.34%"
    uint64_t httpBytes = 0;
    uint64_t httpAverageSpeed = 0;
    uint64_t peerBytes = 0;
    uint64_t peerAverageSpeed = 0;
};

// Identity the statistics channel stamps on every event.
struct StatisticsIdentity {
    std::string configurationPath;  // the released statistics configuration
    std::string gameId;
    std::string programVersion;     // "%d.%d.%d.%d"
    std::string gameVersion;
    std::string channel;
};

class IEventSink {
public:
    virtual ~IEventSink() = default;

    // Starts the channel; false when it cannot run (events are then dropped).
    virtual bool Start(const StatisticsIdentity& identity) = 0;
    // Stops the channel, sending what is queued as far as it can.
    virtual void Stop() = 0;
    // The machine identifier text shown in notice boxes; empty when unknown.
    virtual std::string MachineIdText() const = 0;

    virtual void SimpleEvent(const std::string& code, const std::string& fileName,
                             const std::string& errorText) = 0;
    virtual void ProgressEvent(const std::string& code, const std::string& errorText,
                               const ProgressSnapshot& snapshot) = 0;
    // A piece that failed its check, sent by a server source (11500101) or a
    // BitTorrent peer (11500102).
    virtual void PieceCheckEvent(const std::string& code, const std::string& sourceAddress,
                                 uint32_t piece, const std::string& fileName) = 0;
};

// Drops every event; the sink of a build or test that reports nothing, and
// the base of a test sink that watches one kind.
class NullEventSink : public IEventSink {
public:
    bool Start(const StatisticsIdentity&) override { return true; }
    void Stop() override {}
    std::string MachineIdText() const override { return {}; }
    void SimpleEvent(const std::string&, const std::string&, const std::string&) override {}
    void ProgressEvent(const std::string&, const std::string&, const ProgressSnapshot&) override {}
    void PieceCheckEvent(const std::string&, const std::string&, uint32_t,
                         const std::string&) override {}
};

}  // namespace veldmoor
