#pragma once
// The resource list: an XML document naming the installer's HTTP mirrors and
// the peer-to-peer switch. Parsing is separate from fetching so it can be fed
// any bytes.
#include <optional>
#include <string>
#include <vector>

namespace veldmoor {

struct ResourceMirror {
    std::string url;       // "http://" + IP text + MiddleDir + FileName
    std::string hostName;  // the Host the engine sends; "null" when not given
};

struct ResourceList {
    std::optional<bool> peerToPeer;  // set when a "P2PSwitch" project was read
    std::vector<ResourceMirror> mirrors;
};

// `installerUrl` picks this installer's project; with `skipInstaller` (the
// download is complete and not being repaired) its mirrors are not taken.
// A malformed document gives an empty list.
ResourceList ParseResourceList(const std::string& document, const std::string& installerUrl, bool skipInstaller);

}  // namespace veldmoor
