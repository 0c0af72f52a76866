#include "netenv/TcpipLimitReader.h"

#include "platform/Files.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>

namespace veldmoor {
namespace {

// Stands in for the Windows system directory; no such driver lives there, so
// the reader fails and the engine falls back to its default cap.
constexpr std::string_view kSystemDirectory = "/usr/lib";

// A version block sits in the resource section of the driver; larger files are
// not worth loading just to look for one.
constexpr uint64_t kMaxVersionScanSize = 16u * 1024u * 1024u;

constexpr int32_t kDefaultAttemptCap = 32;

// "\Device\RasAcd" in UTF-16LE, two zero bytes, six 0xCC, four 0x90.
constexpr char kMarkerBytes[] =
    "\\\0D\0e\0v\0i\0c\0e\0\\\0R\0a\0s\0A\0c\0d\0"
    "\0\0"
    "\xCC\xCC\xCC\xCC\xCC\xCC"
    "\x90\x90\x90\x90";
constexpr std::string_view kMarker(kMarkerBytes, sizeof(kMarkerBytes) - 1);
static_assert(kMarker.size() == 40);

// The marker is never looked for in the last 1024 bytes of the file.
constexpr std::size_t kMarkerSearchTail = 1024;
constexpr std::size_t kLimitDistanceFromMarker = 128;

uint32_t LittleEndian32At(std::string_view bytes, std::size_t offset) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 3])) << 24;
}

FileVersion ReadFileVersion(const std::string& path) {
    const auto size = platform::FileSize(path);
    if (!size || *size > kMaxVersionScanSize) return {};
    const auto bytes = platform::ReadWholeFile(path);
    if (!bytes) return {};
    return FixedFileVersionOf(*bytes);
}

bool VersionAtLeast(const FileVersion& version, int32_t build, int32_t revision) {
    return version.build > build || (version.build == build && version.revision >= revision);
}

}  // namespace

TcpipLimitReader::TcpipLimitReader() : TcpipLimitReader(DriverPathIn(kSystemDirectory)) {}

TcpipLimitReader::TcpipLimitReader(std::string path)
    : version_(ReadFileVersion(path)), path_(std::move(path)) {}

std::string TcpipLimitReader::DriverPathIn(std::string_view systemDirectory) {
    return platform::JoinPath(systemDirectory, "drivers/tcpip.sys");
}

bool TcpipLimitReader::IsLimitedVersion() const {
    if (version_.major != 5) return version_.major > 5;
    switch (version_.minor) {
        case 0: return false;
        case 1: return VersionAtLeast(version_, 2600, 2180);
        case 2: return VersionAtLeast(version_, 3790, 1);
        default: return true;
    }
}

int32_t TcpipLimitReader::ReadLimit() {
    offset_ = 0;
    if (!IsLimitedVersion()) return kNotLimitedVersion;

    const auto size = platform::FileSize(path_);
    if (!size) return kCannotOpen;
    if (*size < kMinFileSize || *size > kMaxFileSize) return kSizeOutOfRange;
    const auto bytes = platform::ReadWholeFile(path_);
    if (!bytes) return kReadFailed;
    // The file may have changed since its size was taken.
    if (bytes->size() < kMinFileSize || bytes->size() > kMaxFileSize) return kSizeOutOfRange;

    const std::string_view file(*bytes);
    const std::size_t lastMarkerStart = file.size() - kMarkerSearchTail;
    const std::size_t marker = file.substr(0, lastMarkerStart + kMarker.size()).find(kMarker);
    if (marker == std::string_view::npos) return kMarkerNotFound;

    const std::size_t limitAt = marker + kLimitDistanceFromMarker;
    if (limitAt + 4 >= file.size()) return kCheckBytesMismatch;
    if (file[limitAt - 1] != '\0' || static_cast<uint8_t>(file[limitAt + 4]) != 0xB8) {
        return kCheckBytesMismatch;
    }
    const uint32_t limit = LittleEndian32At(file, limitAt);
    // A value with the top bit set is no limit and would read as an error code.
    if (limit > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return kCheckBytesMismatch;
    }
    offset_ = static_cast<int32_t>(limitAt);
    return static_cast<int32_t>(limit);
}

int32_t ConnectionAttemptCapFromLimit(int32_t driverLimit) {
    const int64_t belowLimit = static_cast<int64_t>(driverLimit) - 2;
    if (belowLimit <= 0) return kDefaultAttemptCap;
    return static_cast<int32_t>(std::min<int64_t>(kDefaultAttemptCap, belowLimit));
}

int32_t ConnectionAttemptCapFromDriver(const std::string& path) {
    TcpipLimitReader reader(path);
    return ConnectionAttemptCapFromLimit(reader.ReadLimit());
}

int32_t ConnectionAttemptCapFromDriver() {
    TcpipLimitReader reader;
    return ConnectionAttemptCapFromLimit(reader.ReadLimit());
}

}  // namespace veldmoor
