#include "app/ResourceList.h"

#include <tinyxml2.h>

#include <cstring>

namespace veldmoor {
namespace {

using tinyxml2::XMLAttribute;
using tinyxml2::XMLElement;

bool Named(const XMLElement* element, const char* name) {
    return element && std::strcmp(element->Name(), name) == 0;
}

bool Named(const XMLAttribute* attribute, const char* name) {
    return attribute && std::strcmp(attribute->Name(), name) == 0;
}

bool PrintableWithoutSpaces(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return false;
    }
    return true;
}

// Walks a project's attributes: whether it is the installer's; a P2P switch
// found on the way is stored in `list`.
bool ReadProjectAttributes(const XMLElement& project, const std::string& installerUrl, ResourceList& list) {
    bool installer = false;
    for (const XMLAttribute* attribute = project.FirstAttribute(); attribute; attribute = attribute->Next()) {
        const std::string value = attribute->Value();
        if (Named(attribute, "ID") && value.empty()) break;
        if (!Named(attribute, "Task")) continue;
        if (value != "P2PSwitch") {
            installer = installer || value == installerUrl;
            continue;
        }
        const XMLAttribute* open = attribute->Next();
        if (Named(open, "Open")) list.peerToPeer = std::string(open->Value()) == "true";
        break;
    }
    return installer;
}

void ReadCdn(const XMLElement& cdn, ResourceList& list) {
    std::string middleDir, fileName, hostName = "null";
    bool open = false;
    for (const XMLAttribute* attribute = cdn.FirstAttribute(); attribute; attribute = attribute->Next()) {
        const std::string value = attribute->Value();
        if ((Named(attribute, "ID") || Named(attribute, "Name")) && value.empty()) break;
        if (Named(attribute, "MiddleDir")) {
            middleDir = value;
            if (value.empty()) break;
        } else if (Named(attribute, "FileName")) {
            if (value.empty()) break;
            fileName = value;
        } else if (Named(attribute, "HostName")) {
            hostName = value;
        } else if (Named(attribute, "Open")) {
            open = value == "true";
            break;
        }
    }
    if (!open) return;
    for (const XMLElement* ip = cdn.FirstChildElement(); Named(ip, "IP"); ip = ip->NextSiblingElement()) {
        const std::string address = ip->GetText() ? ip->GetText() : "";
        // A line break or control byte would smuggle extra lines into the engine's source list.
        if (!PrintableWithoutSpaces(address + middleDir + fileName + hostName)) continue;
        list.mirrors.push_back({"http://" + address + middleDir + fileName, hostName});
    }
}

}  // namespace

ResourceList ParseResourceList(const std::string& document, const std::string& installerUrl, bool skipInstaller) {
    ResourceList list;
    tinyxml2::XMLDocument xml;
    if (xml.Parse(document.data(), document.size()) != tinyxml2::XML_SUCCESS) return list;
    const XMLElement* root = xml.FirstChildElement();
    if (!Named(root, "ResourceList")) return list;
    for (const XMLElement* project = root->FirstChildElement(); Named(project, "project");
         project = project->NextSiblingElement()) {
        if (!ReadProjectAttributes(*project, installerUrl, list) || skipInstaller) continue;
        for (const XMLElement* cdn = project->FirstChildElement(); Named(cdn, "cdn"); cdn = cdn->NextSiblingElement())
            ReadCdn(*cdn, list);
    }
    return list;
}

}  // namespace veldmoor
