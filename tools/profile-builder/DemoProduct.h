#pragma once
// Everything a demo build carries and its world serves, made in one go from
// the world's addresses and the payload size: the installer, its torrent and
// info hash, and the product profile (as a readable description and as C++).
#include <cstdint>
#include <string>

#include "app/ProductProfile.h"

namespace veldmoor::profilebuilder {

constexpr uint32_t kDemoPieceLength = 512 * 1024;
constexpr const char* kDemoVersion = "0.1.0.0";

struct DemoProductOptions {
    std::string outputFolder;
    uint64_t installerSize = 256ull << 20;
    std::string installerUrl;      // the built-in mirror; its last segment names the file
    std::string resourceListUrl;   // https://
    std::string announceUrl;       // the world's tracker
    std::string caFile;            // the CA the resource-list fetch trusts
    std::string statisticsUrl;     // where statistics batches go
    std::string natServerName;
    bool writeSourceCode = true;   // BuiltInProfile.cpp beside the description
};

struct DemoProduct {
    ProductProfile profile;
    std::string installerPath;
    std::string torrentPath;
    std::string infoHashHex;
    std::string descriptionPath;
};

// The file name at the end of a URL's path; empty when there is none.
std::string FileNameOfUrl(const std::string& url);

// Rounds up to a whole number of 4096-byte blocks.
uint64_t RoundUpTo4096(uint64_t size);

// Writes into `outputFolder`: the installer, "<installer>.torrent",
// "infohash.txt", "profile.txt" and (unless told not to) "BuiltInProfile.cpp".
bool BuildDemoProduct(const DemoProductOptions& options, DemoProduct& product, std::string& error);

}  // namespace veldmoor::profilebuilder
