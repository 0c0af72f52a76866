#pragma once
#include <cstdint>

namespace veldmoor {

// A job's settings. Clamp runs after every change: a value outside its range
// goes back to its default.
struct JobSettings {
    int32_t maxConnections = 52;  // all peer kinds together, 1..20480
    int32_t seedingHours = 12;    // after completion, 0..20480
    int32_t startupLimitSeconds = 45;
    bool preallocate = false;
    int32_t connectionsPerSource = 1;  // one HTTP or FTP source at once, 1..20
    int32_t writeWindowUnits = 64;     // piece-map write window in 262144-byte units, 1..8000

    void Clamp() {
        const JobSettings defaults;
        ClampOne(maxConnections, 1, 20480, defaults.maxConnections);
        ClampOne(seedingHours, 0, 20480, defaults.seedingHours);
        ClampOne(connectionsPerSource, 1, 20, defaults.connectionsPerSource);
        ClampOne(writeWindowUnits, 1, 8000, defaults.writeWindowUnits);
    }

private:
    static void ClampOne(int32_t& value, int32_t low, int32_t high, int32_t fallback) {
        if (value < low || value > high) value = fallback;
    }
};

}  // namespace veldmoor
