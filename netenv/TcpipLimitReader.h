#pragma once
// Some releases of the Windows TCP driver allow only a few outbound connections
// to be half-open at once and queue the rest, which slows every connection. The
// engine reads that limit from the driver file and keeps its own connection
// attempts below it. Where there is no such driver the reader fails quietly.
#include "netenv/FixedFileVersion.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace veldmoor {

class TcpipLimitReader {
public:
    // Negative results of ReadLimit.
    static constexpr int32_t kNotLimitedVersion = -1;
    static constexpr int32_t kCannotOpen = -2;
    static constexpr int32_t kSizeOutOfRange = -3;
    static constexpr int32_t kReadFailed = -4;
    static constexpr int32_t kMarkerNotFound = -5;
    static constexpr int32_t kCheckBytesMismatch = -6;

    static constexpr uint64_t kMinFileSize = 32768;
    static constexpr uint64_t kMaxFileSize = 2097152;

    // Reads the system's driver file.
    TcpipLimitReader();
    explicit TcpipLimitReader(std::string path);

    // "drivers/tcpip.sys" under `systemDirectory`, with one separator between.
    static std::string DriverPathIn(std::string_view systemDirectory);

    bool IsLimitedVersion() const;
    // The driver's half-open limit, or one of the negative results above.
    int32_t ReadLimit();

    // Where in the file the limit was found; 0 until ReadLimit found one.
    int32_t Offset() const { return offset_; }
    const FileVersion& Version() const { return version_; }
    const std::string& Path() const { return path_; }

private:
    int32_t offset_ = 0;
    FileVersion version_;
    std::string path_;
};

// The engine's cap on simultaneous connection attempts for a driver limit as
// ReadLimit returns it: two below the limit, at most 32, and 32 when the limit
// is unknown or too small to leave room.
int32_t ConnectionAttemptCapFromLimit(int32_t driverLimit);
int32_t ConnectionAttemptCapFromDriver(const std::string& path);
// Uses the system's driver file.
int32_t ConnectionAttemptCapFromDriver();

}  // namespace veldmoor
