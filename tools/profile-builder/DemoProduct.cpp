#include "tools/profile-builder/DemoProduct.h"

#include <filesystem>
#include <fstream>

#include "profile/ProfileDescription.h"
#include "tools/profile-builder/DemoInstaller.h"
#include "tools/profile-builder/ProfileSource.h"
#include "tools/profile-builder/TorrentWriter.h"

// The product's name is a user text: the marker lets lupdate find it for the
// translations; without Qt it is the text itself.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(context, text) text
#endif

namespace veldmoor::profilebuilder {
namespace {

bool WriteFile(const std::string& path, const std::string& bytes, std::string& error) {
    // Written beside and renamed, so an interrupted build never leaves half a
    // source file that looks up to date.
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            error = "cannot write " + temporary;
            return false;
        }
    }
    std::error_code failure;
    std::filesystem::rename(temporary, path, failure);
    if (failure) {
        error = "cannot rename " + temporary + ": " + failure.message();
        return false;
    }
    return true;
}

ProductProfile DemoProfile(const DemoProductOptions& options, const std::string& fileName,
                           const InstallerDigests& digests, const std::string& torrent) {
    ProductProfile profile;
    profile.name = "demo";
    profile.installerUrlBase64 = Base64Encode(options.installerUrl);
    profile.installerFileNameBase64 = Base64Encode(fileName);
    profile.resourceListUrlBase64 = Base64Encode(options.resourceListUrl);
    profile.expectedMd5 = digests.md5Hex;
    profile.expectedSize = RoundUpTo4096(options.installerSize);
    profile.versionText = std::string("版本：") + kDemoVersion;
    profile.gameVersion = std::string("v") + kDemoVersion;
    profile.gameId = "900";
    profile.channel = "1";
    profile.caption = QT_TRANSLATE_NOOP("UserTexts", "Veldmoor演示下载器");
    profile.vendorFolder = "ORVA";
    profile.productFolder = "Veldmoor";
    profile.saveFolderName = "VeldmoorDemo";
    profile.statisticsConfigBase64 = Base64Encode(StatisticsConfigText(options.statisticsUrl, options.statisticsUrl));
    profile.installerTorrent = torrent;
    profile.natServerName = options.natServerName;
    profile.resourceListCaFile = options.caFile;
    return profile;
}

}  // namespace

std::string FileNameOfUrl(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t pathStart = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (pathStart == std::string::npos) return "";
    const size_t end = url.find_first_of("?#", pathStart);
    const std::string path = url.substr(pathStart, end == std::string::npos ? std::string::npos : end - pathStart);
    return path.substr(path.rfind('/') + 1);
}

uint64_t RoundUpTo4096(uint64_t size) { return (size + 4095) / 4096 * 4096; }

bool BuildDemoProduct(const DemoProductOptions& options, DemoProduct& product, std::string& error) {
    const std::string fileName = FileNameOfUrl(options.installerUrl);
    if (fileName.empty() || fileName == "." || fileName == "..") {
        error = "the installer URL must end in a file name: " + options.installerUrl;
        return false;
    }
    std::error_code failure;
    std::filesystem::create_directories(options.outputFolder, failure);
    if (failure) {
        error = "cannot create " + options.outputFolder + ": " + failure.message();
        return false;
    }
    const std::string folder = options.outputFolder + "/";
    product.installerPath = folder + fileName;
    product.torrentPath = product.installerPath + ".torrent";
    product.descriptionPath = folder + "profile.txt";

    InstallerDigests digests;
    if (!WriteDemoInstaller(product.installerPath, options.installerSize, kDemoVersion, kDemoPieceLength, digests,
                            error))
        return false;
    const SingleFileTorrent torrent =
        MakeSingleFileTorrent(fileName, options.installerSize, kDemoPieceLength, digests.pieceHashes,
                              options.announceUrl);
    product.infoHashHex = torrent.infoHashHex;
    product.profile = DemoProfile(options, fileName, digests, torrent.metainfo);

    return WriteFile(product.torrentPath, torrent.metainfo, error) &&
           WriteFile(folder + "infohash.txt", torrent.infoHashHex + "\n", error) &&
           WriteFile(product.descriptionPath, DescribeProfile(product.profile, product.torrentPath), error) &&
           (!options.writeSourceCode ||
            WriteFile(folder + "BuiltInProfile.cpp", ProfileSourceCode(product.profile), error));
}

}  // namespace veldmoor::profilebuilder
