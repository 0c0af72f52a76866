#pragma once
// How the machine is described in every statistics event: its identifier,
// adapter addresses and operating-system digits, and for the event that
// starts a download its processor, memory and video cards.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace veldmoor::reporting {

enum HardwareFlags : uint32_t {
    kHardwareProcessor = 1u << 0,
    kHardwareMemory = 1u << 1,
    kHardwareVideoCard = 1u << 2,
    kHardwareAll = 7u,
};

struct SystemDescription {
    std::string machineId;         // 16 upper-case hex digits
    std::string adapterAddresses;  // "aa-bb-cc-dd-ee-ff;..."
    std::string osDescriptor;      // digits
    Json::Value processor{Json::objectValue};
    Json::Value memory{Json::objectValue};
    Json::Value videoCard{Json::objectValue};
};

// Reads the running system once per process and keeps the answer.
const SystemDescription& ThisSystem();

// The installation's 32-hex-digit identifier turned into this program's own
// 16-digit machine identifier: a keyed hash, so the raw identifier never
// leaves the machine; "0000000000000000" when there is none.
std::string MachineIdFrom(const std::string& installationId);
std::string FormatAdapterAddresses(const std::vector<std::array<uint8_t, 6>>& addresses);
// Kernel major and minor, distribution version major and minor, "64" or "32",
// and "0" (Chinese), "1" (western European) or "2" (other) for the language.
std::string OsDescriptor(const std::string& kernelRelease, const std::string& distributionVersion,
                         const std::string& machine, const std::string& language);
// "0x" + first 8 digits + ", 0x" + last 8; "" for an identifier under 16 digits.
std::string MachineIdNoticeText(const std::string& machineId);

// The information object as the compact writer writes it, with its line
// break: the hardware blocks the flags ask for, then "MachId", "Mac", "OS"
// and "Sessionid".
std::string InformationObjectText(const SystemDescription& system, uint32_t hardwareFlags, const std::string& sessionId);

}  // namespace veldmoor::reporting
