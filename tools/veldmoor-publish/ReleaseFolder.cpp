#include "tools/veldmoor-publish/ReleaseFolder.h"

#include <filesystem>
#include <fstream>

#include "profile/ProfileDescription.h"
#include "tools/profile-builder/ProfileSource.h"
#include "tools/profile-builder/TorrentWriter.h"
#include "tools/veldmoor-publish/ServerConfig.h"

namespace veldmoor::publish {
namespace {

namespace fs = std::filesystem;

uint64_t RoundUpTo4096(uint64_t size) { return (size + 4095) / 4096 * 4096; }

// Written beside and renamed, so a folder never holds half a file that a
// build or an operator could take for whole.
bool WriteFile(const fs::path& path, const std::string& bytes, std::string& error) {
    std::error_code failure;
    fs::create_directories(path.parent_path(), failure);
    if (failure) {
        error = "cannot create " + path.parent_path().string() + ": " + failure.message();
        return false;
    }
    const fs::path temporary = path.string() + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) {
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    fs::rename(temporary, path, failure);
    if (failure) {
        error = "cannot rename " + temporary.string() + ": " + failure.message();
        return false;
    }
    return true;
}

struct InstallerFacts {
    std::string md5Hex;
    uint64_t size = 0;
    uint32_t pieceLength = 0;
    std::string pieceHashes;
};

bool LearnInstaller(const Release& release, const profilebuilder::HashProgress& progress, InstallerFacts& facts,
                    std::string& error) {
    if (release.installerPath.empty()) {
        facts.md5Hex = release.knownMd5;
        facts.size = *release.knownSize;
        return true;
    }
    std::error_code failure;
    const uint64_t size = fs::file_size(release.installerPath, failure);
    if (failure || size == 0) {
        error = "[installer] file: " + release.installerPath + (failure ? ": " + failure.message() : " is empty");
        return false;
    }
    facts.pieceLength = profilebuilder::PieceLengthForSize(size);
    profilebuilder::InstallerDigests digests;
    if (!profilebuilder::DigestFile(release.installerPath, facts.pieceLength, progress, digests, error)) return false;
    facts.md5Hex = digests.md5Hex;
    facts.size = digests.size;
    facts.pieceHashes = digests.pieceHashes;
    if (!release.knownMd5.empty() && release.knownMd5 != facts.md5Hex) {
        error = "[installer] md5: the release file says " + release.knownMd5 + ", but " + release.installerPath +
                " has " + facts.md5Hex;
        return false;
    }
    if (release.knownSize && *release.knownSize != facts.size) {
        error = "[installer] size: the release file says " + std::to_string(*release.knownSize) + ", but " +
                release.installerPath + " has " + std::to_string(facts.size) + " bytes";
        return false;
    }
    return true;
}

ProductProfile ProfileOf(const Release& release, const InstallerFacts& facts, const std::string& torrent) {
    ProductProfile profile;
    profile.name = release.name;
    profile.installerUrlBase64 = Base64Encode(release.mirrors.front());
    profile.installerFileNameBase64 = Base64Encode(release.InstallerFileName());
    profile.resourceListUrlBase64 = Base64Encode(release.resourceListUrl);
    profile.expectedMd5 = facts.md5Hex;
    profile.expectedSize = RoundUpTo4096(facts.size);
    profile.versionText = release.versionText;
    profile.gameVersion = release.gameVersion;
    profile.gameId = release.gameId;
    profile.channel = release.channel;
    profile.caption = release.caption;
    profile.vendorFolder = release.vendorFolder;
    profile.productFolder = release.productFolder;
    profile.saveFolderName = release.saveFolder;
    profile.statisticsConfigBase64 =
        Base64Encode(profilebuilder::StatisticsConfigText(release.statisticsListUrl, release.statisticsEventUrl));
    profile.installerTorrent = torrent;
    profile.natServerName = release.natServer;
    profile.resourceListCaFile = release.resourceListCaFile;
    return profile;
}

}  // namespace

bool PublishRelease(const Release& release, const std::string& folder, const profilebuilder::HashProgress& progress,
                    PublishedRelease& published, std::string& error) {
    InstallerFacts facts;
    if (!LearnInstaller(release, progress, facts, error)) return false;
    published.installerSize = facts.size;
    published.pieceLength = facts.pieceLength;

    const fs::path root(folder);
    const std::string fileName = release.InstallerFileName();
    std::vector<std::pair<std::string, std::string>> files;  // relative path, bytes
    std::string torrentFile;
    std::string torrent;
    if (facts.pieceLength > 0) {
        profilebuilder::TorrentSources sources{release.trackers, release.mirrors};
        const auto made =
            profilebuilder::MakeSingleFileTorrent(fileName, facts.size, facts.pieceLength, facts.pieceHashes, sources);
        torrent = made.metainfo;
        published.infoHashHex = made.infoHashHex;
        torrentFile = fileName + ".torrent";
        files.emplace_back(torrentFile, torrent);
        files.emplace_back("infohash.txt", made.infoHashHex + "\n");
        files.emplace_back(std::string(kServersFolder) + "/opentracker.whitelist",
                           OpentrackerWhitelist(made.infoHashHex));
        if (release.trackers.empty())
            published.warnings.push_back("no [download] tracker: players find no peers, only mirrors");
    } else {
        published.warnings.push_back(
            "no installer at hand: the profile carries its MD5 and size but no torrent, so players get no piece "
            "hashes, no trackers and no peers; publish again with the installer before a real release");
    }
    published.profile = ProfileOf(release, facts, torrent);
    for (const std::string& mirror : release.mirrors) {
        if (ParseUrl(mirror)->scheme == "ftp")
            published.warnings.push_back("the resource list names http mirrors only; " + mirror +
                                         " is a web seed" + (mirror == release.mirrors.front() ? " and the built-in URL" : ""));
    }

    files.emplace_back(kDescriptionFile, DescribeProfile(published.profile, torrentFile));
    const auto list = ParseUrl(release.resourceListUrl);
    files.emplace_back(std::string(kResourceListFolder) + list->path, ResourceListXml(release));
    files.emplace_back(std::string(kServersFolder) + "/nginx-veldmoor.conf", NginxSite(release));
    files.emplace_back(std::string(kServersFolder) + "/opentracker.conf", OpentrackerConfig(release));
    const std::string origin = "written by veldmoor-publish for the release " + release.name;
    files.emplace_back(std::string(kServersFolder) + "/veldmoor-natd.default",
                       DaemonDefaultsFile("veldmoor-natd", kNatdVariable, NatdOptions(release.listenAddress), origin));
    files.emplace_back(std::string(kServersFolder) + "/veldmoor-statsd.default",
                       DaemonDefaultsFile("veldmoor-statsd", kStatsdVariable,
                                          StatsdOptions(release.listenAddress, ParseUrl(release.statisticsListUrl)->port),
                                          origin));
    for (const auto& [name, bytes] : files) {
        if (!WriteFile(root / name, bytes, error)) return false;
        published.files.push_back(name);
    }
    published.files.push_back("RELEASE.md");
    return WriteFile(root / "RELEASE.md", OperatorGuide(release, published), error);
}

}  // namespace veldmoor::publish
