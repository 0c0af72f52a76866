#pragma once
// What an Internet gateway device says about itself in its description
// document: nineteen texts, read one property at a time.
#include <array>
#include <cstddef>
#include <string>

namespace veldmoor {

enum class DeviceProperty : std::size_t {
    kFriendlyName,
    kDeviceType,
    kUniqueDeviceName,
    kManufacturerName,
    kManufacturerUrl,
    kModelName,
    kModelNumber,
    kModelDescription,
    kModelUrl,
    kSerialNumber,
    kUpc,
    kPresentationUrl,
    kIconUrl,           // the first "image/gif" icon, as an absolute address
    kChildren,          // "No: Zero children", "Yes: One child", "Yes: %d children"
    kServices,          // "No: Zero services", "Yes: One service", "Yes: %d services"
    kTopmost,           // "This is a topmost device"
    kDescriptionUrl,
    kUrlBase,
    kSpecVersion,       // "major.minor"
    kCount,
};

inline constexpr std::size_t kDevicePropertyCount = static_cast<std::size_t>(DeviceProperty::kCount);

struct DeviceInformation {
    std::array<std::string, kDevicePropertyCount> texts;

    const std::string& Get(DeviceProperty property) const {
        return texts[static_cast<std::size_t>(property)];
    }
    std::string& Get(DeviceProperty property) { return texts[static_cast<std::size_t>(property)]; }
    const std::string& FriendlyName() const { return Get(DeviceProperty::kFriendlyName); }
};

// A parsed device description (the root device of the document). Documents
// come from the local network and are untrusted: oversized or malformed ones
// are refused.
class DeviceDescription {
public:
    static constexpr std::size_t kMaxDocumentBytes = 256 * 1024;

    // False when the document is too large, not XML or has no root device.
    bool Parse(const std::string& document, const std::string& descriptionUrl);
    // One property of the root device; empty when the device does not say.
    std::string Property(DeviceProperty property) const;

private:
    DeviceInformation information_;
};

// The description's texts, or an empty record when it cannot be parsed.
DeviceInformation ReadDeviceInformation(const std::string& document, const std::string& descriptionUrl);

}  // namespace veldmoor
