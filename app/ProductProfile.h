#pragma once
// Every value the product carries inside its executable. One profile is
// compiled into each build (profile/), and tests build their own, so the
// controller never depends on which product it is.
#include <cstdint>
#include <string>

namespace veldmoor {

struct ProductProfile {
    std::string name;                      // "emberhold", "demo"

    // Stored as base64 texts, decoded by LoadDefaults.
    std::string installerUrlBase64;        // "http://host/.../setup.exe"
    std::string installerFileNameBase64;   // "Emberhold_setup_0.122.13.20.exe"
    std::string resourceListUrlBase64;     // "https://host/downloader/....xml"

    std::string expectedMd5;               // lower-case hex of the whole installer
    uint64_t expectedSize = 0;             // the installer's length rounded up to 4096
    std::string versionText;               // "版本：0.122.13.20"
    std::string gameVersion;               // "v0.122.13.20"
    std::string gameId;                    // "772"
    std::string channel;                   // "1"
    std::string caption;                   // notice-box caption
    std::string vendorFolder;              // "ORVA": under the data folder
    std::string productFolder;             // "Veldmoor": under the vendor folder
    std::string saveFolderName;            // "EH1115": under the user's download folder

    std::string statisticsConfigBase64;    // released as "dataupload.vmconf"
    std::string installerTorrent;          // bencoded single-file metainfo, raw bytes
    std::string natServerName;             // rendezvous server host

    // A CA file the resource-list fetch trusts instead of the system store;
    // empty for a product on the open internet.
    std::string resourceListCaFile;
};

}  // namespace veldmoor
