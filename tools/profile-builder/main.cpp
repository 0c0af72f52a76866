// veldmoor-profile-builder: makes a demo product (installer, torrent, profile)
// for the build. Run by the build in demo builds; see README.md.
#include <cstdio>
#include <map>
#include <string>

#include <filesystem>

#include "tools/profile-builder/DemoInstaller.h"
#include "tools/profile-builder/DemoProduct.h"

namespace {

constexpr const char* kUsage =
    "usage: veldmoor-profile-builder --out DIR --installer-url URL --resource-list-url URL\n"
    "         --announce URL --ca-file PATH [--statistics-url URL] [--nat-server NAME]\n"
    "         [--size BYTES] [--no-source]\n"
    "       veldmoor-profile-builder --installer-only --out DIR --installer-url URL [--size BYTES]\n"
    "         the demo installer alone, for veldmoor-publish to release\n";

bool ParseSize(const std::string& text, uint64_t& size) {
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    size = std::stoull(text);
    return true;
}

int WriteInstallerOnly(const veldmoor::profilebuilder::DemoProductOptions& options) {
    using namespace veldmoor::profilebuilder;
    const std::string fileName = FileNameOfUrl(options.installerUrl);
    std::error_code failure;
    std::filesystem::create_directories(options.outputFolder, failure);
    InstallerDigests digests;
    std::string error;
    if (fileName.empty() || failure ||
        !WriteDemoInstaller(options.outputFolder + "/" + fileName, options.installerSize, kDemoVersion,
                            kDemoPieceLength, digests, error)) {
        std::fprintf(stderr, "veldmoor-profile-builder: %s\n",
                     fileName.empty() ? "the installer URL must end in a file name"
                                      : failure ? failure.message().c_str() : error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace veldmoor::profilebuilder;
    std::map<std::string, std::string> values;
    DemoProductOptions options;
    bool installerOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--no-source") {
            options.writeSourceCode = false;
            continue;
        }
        if (flag == "--installer-only") {
            installerOnly = true;
            continue;
        }
        if (flag.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        values[flag.substr(2)] = argv[++i];
    }
    if (values.count("size") && !ParseSize(values["size"], options.installerSize)) {
        std::fprintf(stderr, "veldmoor-profile-builder: --size takes a number of bytes\n");
        return 2;
    }
    if (installerOnly) {
        if (values.count("out") == 0 || values.count("installer-url") == 0) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        options.outputFolder = values["out"];
        options.installerUrl = values["installer-url"];
        return WriteInstallerOnly(options);
    }
    for (const char* required : {"out", "installer-url", "resource-list-url", "announce", "ca-file"}) {
        if (values.count(required) == 0) {
            std::fprintf(stderr, "veldmoor-profile-builder: --%s is required\n%s", required, kUsage);
            return 2;
        }
    }
    options.outputFolder = values["out"];
    options.installerUrl = values["installer-url"];
    options.resourceListUrl = values["resource-list-url"];
    options.announceUrl = values["announce"];
    options.caFile = values["ca-file"];
    options.statisticsUrl = values.count("statistics-url") ? values["statistics-url"] : "";
    options.natServerName = values.count("nat-server") ? values["nat-server"] : "127.0.0.1";
    DemoProduct product;
    std::string error;
    if (!BuildDemoProduct(options, product, error)) {
        std::fprintf(stderr, "veldmoor-profile-builder: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s %s %llu bytes, info hash %s\n", product.installerPath.c_str(), product.profile.expectedMd5.c_str(),
                static_cast<unsigned long long>(options.installerSize), product.infoHashHex.c_str());
    return 0;
}
