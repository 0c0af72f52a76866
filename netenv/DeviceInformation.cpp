#include "netenv/DeviceInformation.h"

#include <tinyxml2.h>

#include <cstdio>
#include <string_view>

namespace veldmoor {
namespace {

const char* ChildText(const tinyxml2::XMLElement* parent, const char* name) {
    const tinyxml2::XMLElement* child = parent ? parent->FirstChildElement(name) : nullptr;
    const char* text = child ? child->GetText() : nullptr;
    return text ? text : "";
}

int CountChildren(const tinyxml2::XMLElement* list, const char* name) {
    int count = 0;
    if (!list) return 0;
    for (const auto* item = list->FirstChildElement(name); item; item = item->NextSiblingElement(name)) ++count;
    return count;
}

std::string CountText(int count, const char* none, const char* one, const char* manyFormat) {
    if (count == 0) return none;
    if (count == 1) return one;
    char text[64];
    std::snprintf(text, sizeof text, manyFormat, count);
    return text;
}

// "http://host:port" of an absolute address, empty when it has none.
std::string OriginOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return {};
    const std::size_t path = url.find('/', scheme + 3);
    return std::string(url.substr(0, path));
}

std::string Resolve(const std::string& reference, const std::string& base) {
    if (reference.empty() || reference.find("://") != std::string::npos) return reference;
    const std::string origin = OriginOf(base);
    if (origin.empty()) return reference;
    if (reference.front() == '/') return origin + reference;
    const std::size_t lastSlash = base.rfind('/');
    const bool baseHasPath = lastSlash != std::string::npos && lastSlash >= origin.size();
    return (baseHasPath ? base.substr(0, lastSlash + 1) : origin + "/") + reference;
}

std::string GifIconUrl(const tinyxml2::XMLElement* device, const std::string& base) {
    const tinyxml2::XMLElement* icons = device->FirstChildElement("iconList");
    if (!icons) return {};
    for (const auto* icon = icons->FirstChildElement("icon"); icon; icon = icon->NextSiblingElement("icon")) {
        if (std::string_view(ChildText(icon, "mimetype")) == "image/gif") return Resolve(ChildText(icon, "url"), base);
    }
    return {};
}

}  // namespace

bool DeviceDescription::Parse(const std::string& document, const std::string& descriptionUrl) {
    information_ = {};
    if (document.size() > kMaxDocumentBytes) return false;
    tinyxml2::XMLDocument xml;
    if (xml.Parse(document.data(), document.size()) != tinyxml2::XML_SUCCESS) return false;
    const tinyxml2::XMLElement* root = xml.RootElement();
    const tinyxml2::XMLElement* device = root ? root->FirstChildElement("device") : nullptr;
    if (!device) return false;

    const std::string urlBase = ChildText(root, "URLBase");
    const std::string base = urlBase.empty() ? descriptionUrl : urlBase;
    const tinyxml2::XMLElement* specVersion = root->FirstChildElement("specVersion");

    auto set = [this](DeviceProperty property, std::string text) { information_.Get(property) = std::move(text); };
    set(DeviceProperty::kFriendlyName, ChildText(device, "friendlyName"));
    set(DeviceProperty::kDeviceType, ChildText(device, "deviceType"));
    set(DeviceProperty::kUniqueDeviceName, ChildText(device, "UDN"));
    set(DeviceProperty::kManufacturerName, ChildText(device, "manufacturer"));
    set(DeviceProperty::kManufacturerUrl, ChildText(device, "manufacturerURL"));
    set(DeviceProperty::kModelName, ChildText(device, "modelName"));
    set(DeviceProperty::kModelNumber, ChildText(device, "modelNumber"));
    set(DeviceProperty::kModelDescription, ChildText(device, "modelDescription"));
    set(DeviceProperty::kModelUrl, ChildText(device, "modelURL"));
    set(DeviceProperty::kSerialNumber, ChildText(device, "serialNumber"));
    set(DeviceProperty::kUpc, ChildText(device, "UPC"));
    set(DeviceProperty::kPresentationUrl, Resolve(ChildText(device, "presentationURL"), base));
    set(DeviceProperty::kIconUrl, GifIconUrl(device, base));
    set(DeviceProperty::kChildren, CountText(CountChildren(device->FirstChildElement("deviceList"), "device"),
                                             "No: Zero children", "Yes: One child", "Yes: %d children"));
    set(DeviceProperty::kServices, CountText(CountChildren(device->FirstChildElement("serviceList"), "service"),
                                             "No: Zero services", "Yes: One service", "Yes: %d services"));
    // The root device of a description has no parent.
    set(DeviceProperty::kTopmost, "This is a topmost device");
    set(DeviceProperty::kDescriptionUrl, descriptionUrl);
    set(DeviceProperty::kUrlBase, urlBase);
    if (specVersion) {
        set(DeviceProperty::kSpecVersion, std::string(ChildText(specVersion, "major")) + "." + ChildText(specVersion, "minor"));
    }
    return true;
}

std::string DeviceDescription::Property(DeviceProperty property) const { return information_.Get(property); }

DeviceInformation ReadDeviceInformation(const std::string& document, const std::string& descriptionUrl) {
    DeviceDescription description;
    description.Parse(document, descriptionUrl);
    DeviceInformation information;
    for (std::size_t i = 0; i < kDevicePropertyCount; ++i) {
        const auto property = static_cast<DeviceProperty>(i);
        information.Get(property) = description.Property(property);
    }
    return information;
}

}  // namespace veldmoor
