#pragma once
// The release file: one INI a publisher writes for each installer they
// release (README.md lists every key). Reading it checks every value against
// the others, so an inconsistent release is refused before anything is made.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldmoor::publish {

// The parts of a URL a release works with.
struct UrlParts {
    std::string scheme;  // lower case: "http", "https", "ftp", "udp"
    std::string host;
    uint16_t port = 0;   // the scheme's default when the URL names none
    bool explicitPort = false;
    std::string path;    // from the first "/" on, "/" at least
    std::string FileName() const { return path.substr(path.rfind('/') + 1); }
    std::string Folder() const { return path.substr(0, path.rfind('/') + 1); }
    std::string HostAndPort() const { return explicitPort ? host + ":" + std::to_string(port) : host; }
};

// Nothing for a URL without "scheme://host", with a bad port, or with
// spaces, control bytes, a user part, a query or a fragment.
std::optional<UrlParts> ParseUrl(const std::string& url);

struct Release {
    std::string releaseFile;   // as given; relative paths in it are relative to its folder

    // [product]
    std::string name;          // the profile's name: lower-case letters, digits and "-"
    std::string caption;
    std::string versionText;
    std::string gameVersion;
    std::string gameId;
    std::string channel;
    std::string vendorFolder = "ORVA";
    std::string productFolder = "Veldmoor";
    std::string saveFolder;

    // [installer]
    std::string installerPath;           // empty when the installer is not at hand
    std::string knownMd5;                // required without the installer, checked with it
    std::optional<uint64_t> knownSize;

    // [download]
    std::vector<std::string> mirrors;    // the first is the URL built into the program
    std::string resourceListUrl;
    std::string resourceListCaFile;      // empty: the system's CA store
    bool p2p = true;
    std::vector<std::string> trackers;

    // [statistics]
    std::string statisticsListUrl;       // the collector's batch path
    std::string statisticsEventUrl;      // the collector's single-event path, same server

    // [nat]
    std::string natServer;

    // [servers]
    std::string tlsCertificate;
    std::string tlsKey;
    std::string documentRoot = "/srv/veldmoor";
    std::string trackerWhitelist = "/etc/opentracker/whitelist.txt";
    std::string listenAddress;           // empty: every address

    std::string InstallerFileName() const;
};

constexpr const char* kCollectorListPath = "/launchersubmit/eventListSubmit";
constexpr const char* kCollectorEventPath = "/launchersubmit/eventInfoSubmit";
constexpr uint16_t kCollectorDefaultPort = 8080;

// Reads and checks a release file. `installerOverride`, when not empty,
// stands for [installer] file. Each problem names its section and key.
std::optional<Release> ReadReleaseFile(const std::string& path, const std::string& installerOverride,
                                       std::vector<std::string>& problems);

// The same checks on release text already read (the tests feed it directly).
std::optional<Release> ParseRelease(const std::string& text, const std::string& path,
                                    const std::string& installerOverride, std::vector<std::string>& problems);

}  // namespace veldmoor::publish
