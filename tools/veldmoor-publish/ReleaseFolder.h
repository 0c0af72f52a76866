#pragma once
// Turns a checked release and its installer into the release folder: the
// profile description the build compiles in, the torrent, the resource list
// and every file the publisher's servers need, with RELEASE.md saying where
// each goes.
#include <string>
#include <vector>

#include "app/ProductProfile.h"
#include "tools/profile-builder/InstallerDigest.h"
#include "tools/veldmoor-publish/ReleaseFile.h"

namespace veldmoor::publish {

struct PublishedRelease {
    ProductProfile profile;
    uint64_t installerSize = 0;
    uint32_t pieceLength = 0;      // 0 without the installer: no torrent
    std::string infoHashHex;       // empty without the installer
    std::vector<std::string> files;  // written, relative to the folder
    std::vector<std::string> warnings;
};

// Names of the files in a release folder.
constexpr const char* kDescriptionFile = "profile.txt";
constexpr const char* kResourceListFolder = "www";
constexpr const char* kServersFolder = "servers";

bool PublishRelease(const Release& release, const std::string& folder, const profilebuilder::HashProgress& progress,
                    PublishedRelease& published, std::string& error);

// The operator's guide for the folder just written.
std::string OperatorGuide(const Release& release, const PublishedRelease& published);

}  // namespace veldmoor::publish
