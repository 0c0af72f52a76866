#pragma once
#include <array>
#include <cstdint>

namespace veldmoor {

// A job's settings. Clamp runs after every change: a value outside its range
// goes back to its default.
struct JobSettings {
    int32_t maxConnections = 52;      // all peer kinds together, 1..20480
    int32_t seedingHours = 12;        // after completion, 0..20480
    int32_t downloadLimitKiB = 0;     // 0 = none, 0..32766
    int32_t uploadLimitKiB = 0;       // 0 = none, 0..32766
    int32_t startupLimitSeconds = 45;
    bool preallocate = false;
    bool dht = true;
    int32_t connectionsPerSource = 1;  // one HTTP or FTP source at once, 1..20
    int32_t writeWindowUnits = 64;     // piece-map write window in 262144-byte units, 1..8000
    int32_t settingD = 1;
    int32_t settingE = 0;  // 0..32766
    int32_t settingF = 32;
    std::array<bool, 4> furtherFlags{true, true, true, false};

    void Clamp() {
        const JobSettings defaults;
        ClampOne(maxConnections, 1, 20480, defaults.maxConnections);
        ClampOne(seedingHours, 0, 20480, defaults.seedingHours);
        ClampOne(downloadLimitKiB, 0, 32766, defaults.downloadLimitKiB);
        ClampOne(uploadLimitKiB, 0, 32766, defaults.uploadLimitKiB);
        ClampOne(connectionsPerSource, 1, 20, defaults.connectionsPerSource);
        ClampOne(writeWindowUnits, 1, 8000, defaults.writeWindowUnits);
        ClampOne(settingE, 0, 32766, defaults.settingE);
    }

private:
    static void ClampOne(int32_t& value, int32_t low, int32_t high, int32_t fallback) {
        if (value < low || value > high) value = fallback;
    }
};

}  // namespace veldmoor
