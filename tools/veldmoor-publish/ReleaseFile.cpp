#include "tools/veldmoor-publish/ReleaseFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace veldmoor::publish {
namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool HasControlOrSpace(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    });
}

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

bool AllOf(const std::string& text, const char* allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

constexpr const char* kDigits = "0123456789";
constexpr const char* kHostCharacters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";

uint16_t DefaultPort(const std::string& scheme) {
    if (scheme == "http") return 80;
    if (scheme == "https") return 443;
    if (scheme == "ftp") return 21;
    return 0;
}

// One "key = value" of the file, where it stands.
struct Entry {
    std::string value;
    int line = 0;
};

using Sections = std::map<std::string, std::map<std::string, std::vector<Entry>>>;

bool ParseIni(const std::string& text, Sections& sections, std::vector<std::string>& problems,
              const std::string& path) {
    std::istringstream lines(text);
    std::string line;
    std::string section;
    int number = 0;
    bool ok = true;
    while (std::getline(lines, line)) {
        ++number;
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (trimmed.front() == '[') {
            if (trimmed.back() != ']') {
                problems.push_back(where + "a section line must end in ']'");
                ok = false;
                continue;
            }
            section = Lower(Trim(trimmed.substr(1, trimmed.size() - 2)));
            sections[section];
            continue;
        }
        const size_t equals = trimmed.find('=');
        if (equals == std::string::npos || section.empty()) {
            problems.push_back(where + (section.empty() ? "a key before the first [section]" : "no '=' in the line"));
            ok = false;
            continue;
        }
        sections[section][Lower(Trim(trimmed.substr(0, equals)))].push_back({Trim(trimmed.substr(equals + 1)), number});
    }
    return ok;
}

// Values that become profile fields only after checking.
struct IndirectValues {
    std::string caPolicy = "system";
    std::string statisticsHost;
    std::string statisticsUrl;
};

// Applies the file's values to a Release through a table of the known keys,
// and names anything it does not know.
class ReleaseReader {
public:
    ReleaseReader(Release& release, std::vector<std::string>& problems) : release_(release), problems_(problems) {}

    void Read(const Sections& sections) {
        const auto keys = Keys();
        for (const auto& [section, entries] : sections) {
            for (const auto& [key, values] : entries) {
                const auto known = keys.find(section + "." + key);
                if (known == keys.end()) {
                    problems_.push_back(Field(section, key) + ": unknown key (README.md lists the keys)");
                    continue;
                }
                if (!known->second.repeats && values.size() > 1) {
                    problems_.push_back(Field(section, key) + ": given " + std::to_string(values.size()) +
                                        " times (lines " + std::to_string(values.front().line) + " and " +
                                        std::to_string(values.back().line) + ")");
                    continue;
                }
                for (const Entry& entry : values) known->second.apply(entry.value);
            }
        }
    }

    const IndirectValues& Indirect() const { return indirect_; }

    static std::string Field(const std::string& section, const std::string& key) {
        return "[" + section + "] " + key;
    }

private:
    struct Key {
        bool repeats;
        std::function<void(const std::string&)> apply;
    };

    std::map<std::string, Key> Keys() {
        Release& r = release_;
        auto text = [](std::string& field) { return Key{false, [&field](const std::string& v) { field = v; }}; };
        auto list = [](std::vector<std::string>& field) {
            return Key{true, [&field](const std::string& v) { field.push_back(v); }};
        };
        return {
            {"product.name", text(r.name)},
            {"product.caption", text(r.caption)},
            {"product.version-text", text(r.versionText)},
            {"product.game-version", text(r.gameVersion)},
            {"product.game-id", text(r.gameId)},
            {"product.channel", text(r.channel)},
            {"product.vendor-folder", text(r.vendorFolder)},
            {"product.product-folder", text(r.productFolder)},
            {"product.save-folder", text(r.saveFolder)},
            {"installer.file", text(r.installerPath)},
            {"installer.md5", text(r.knownMd5)},
            {"installer.size", {false, [this](const std::string& v) { SetSize(v); }}},
            {"download.mirror", list(r.mirrors)},
            {"download.resource-list", text(r.resourceListUrl)},
            {"download.resource-list-ca", text(indirect_.caPolicy)},
            {"download.p2p", {false, [this](const std::string& v) { SetP2p(v); }}},
            {"download.tracker", list(r.trackers)},
            {"statistics.host", text(indirect_.statisticsHost)},
            {"statistics.url", text(indirect_.statisticsUrl)},
            {"nat.server", text(r.natServer)},
            {"servers.tls-certificate", text(r.tlsCertificate)},
            {"servers.tls-key", text(r.tlsKey)},
            {"servers.document-root", text(r.documentRoot)},
            {"servers.tracker-whitelist", text(r.trackerWhitelist)},
            {"servers.listen-address", text(r.listenAddress)},
        };
    }

    void SetSize(const std::string& value) {
        if (!AllOf(value, kDigits) || value.size() > 15) {
            problems_.push_back(Field("installer", "size") + ": not a number of bytes: " + value);
            return;
        }
        release_.knownSize = std::stoull(value);
    }

    void SetP2p(const std::string& value) {
        if (value != "true" && value != "false") {
            problems_.push_back(Field("download", "p2p") + ": true or false, not " + value);
            return;
        }
        release_.p2p = value == "true";
    }

    Release& release_;
    IndirectValues indirect_;
    std::vector<std::string>& problems_;
};

// Every check that needs more than one value, each problem naming its field.
class ReleaseChecker {
public:
    ReleaseChecker(Release& release, std::vector<std::string>& problems) : r_(release), problems_(problems) {}

    void CheckProduct() {
        const std::pair<const char*, const std::string*> texts[] = {
            {"name", &r_.name},           {"caption", &r_.caption},           {"version-text", &r_.versionText},
            {"game-version", &r_.gameVersion}, {"game-id", &r_.gameId},         {"channel", &r_.channel},
            {"vendor-folder", &r_.vendorFolder}, {"product-folder", &r_.productFolder},
            {"save-folder", &r_.saveFolder},
        };
        for (const auto& [key, value] : texts) {
            if (value->empty()) Problem("product", key, "must be given");
            else if (HasControl(*value)) Problem("product", key, "holds a control character");
        }
        if (!r_.name.empty() && !AllOf(r_.name, "abcdefghijklmnopqrstuvwxyz0123456789-"))
            Problem("product", "name", "only lower-case letters, digits and '-': " + r_.name);
        for (const auto& [key, value] :
             {std::pair{"vendor-folder", &r_.vendorFolder}, {"product-folder", &r_.productFolder},
              {"save-folder", &r_.saveFolder}}) {
            if (value->find('/') != std::string::npos || *value == "." || *value == "..")
                Problem("product", key, "a folder name, not a path: " + *value);
        }
    }

    void CheckInstaller() {
        if (!r_.knownMd5.empty() && (r_.knownMd5.size() != 32 || !AllOf(r_.knownMd5, "0123456789abcdef")))
            Problem("installer", "md5", "32 lower-case hexadecimal digits, not " + r_.knownMd5);
        if (r_.installerPath.empty()) {
            if (r_.knownMd5.empty() || !r_.knownSize)
                Problem("installer", "file", "must be given (or md5 and size, when the installer is not at hand)");
        } else if (!std::filesystem::is_regular_file(r_.installerPath)) {
            Problem("installer", "file", "no such file: " + r_.installerPath);
        }
        if (r_.knownSize && *r_.knownSize == 0) Problem("installer", "size", "must not be 0");
    }

    void CheckMirrors() {
        if (r_.mirrors.empty()) {
            Problem("download", "mirror", "the mirror list is empty: give at least one mirror URL of the installer");
            return;
        }
        const std::string expectedName = ParseUrl(r_.mirrors.front()) ? ParseUrl(r_.mirrors.front())->FileName() : "";
        for (size_t i = 0; i < r_.mirrors.size(); ++i) {
            const std::string key = "mirror " + std::to_string(i + 1);
            const auto url = ParseUrl(r_.mirrors[i]);
            if (!url) {
                Problem("download", key, "not a URL: " + r_.mirrors[i]);
                continue;
            }
            if (url->scheme == "https") {
                Problem("download", key,
                        "https mirrors cannot be used: the client fetches mirrors over http and ftp (" +
                            r_.mirrors[i] + ")");
            } else if (url->scheme != "http" && url->scheme != "ftp") {
                Problem("download", key, "must be http:// or ftp://, not " + r_.mirrors[i]);
            } else if (url->FileName().empty()) {
                Problem("download", key, "must end in the installer's file name: " + r_.mirrors[i]);
            } else if (url->FileName() != expectedName) {
                Problem("download", key,
                        "serves " + url->FileName() + ", but the first mirror serves " + expectedName +
                            ": every mirror must carry the same file name");
            }
        }
        if (!r_.installerPath.empty() && !expectedName.empty() &&
            std::filesystem::path(r_.installerPath).filename() != expectedName) {
            Problem("installer", "file",
                    "is named " + std::filesystem::path(r_.installerPath).filename().string() +
                        ", but the mirrors serve " + expectedName);
        }
    }

    void CheckResourceList(const std::string& caPolicy) {
        const auto url = ParseUrl(r_.resourceListUrl);
        if (r_.resourceListUrl.empty()) Problem("download", "resource-list", "must be given");
        else if (!url) Problem("download", "resource-list", "not a URL: " + r_.resourceListUrl);
        else if (url->scheme != "https")
            Problem("download", "resource-list", "must be https:// (the client fetches it over TLS): " +
                                                     r_.resourceListUrl);
        else if (url->FileName().empty())
            Problem("download", "resource-list", "must name a file: " + r_.resourceListUrl);
        if (caPolicy == "system") {
            r_.resourceListCaFile.clear();
        } else if (caPolicy.empty() || caPolicy.front() != '/' || HasControl(caPolicy)) {
            Problem("download", "resource-list-ca",
                    "\"system\" or the absolute path of a CA file on the player's machine, not " + caPolicy);
        } else {
            r_.resourceListCaFile = caPolicy;
        }
    }

    void CheckTrackers() {
        for (size_t i = 0; i < r_.trackers.size(); ++i) {
            const auto url = ParseUrl(r_.trackers[i]);
            const std::string key = "tracker " + std::to_string(i + 1);
            if (!url) Problem("download", key, "not a URL: " + r_.trackers[i]);
            else if (url->scheme != "http" && url->scheme != "https" && url->scheme != "udp")
                Problem("download", key, "must be http://, https:// or udp://, not " + r_.trackers[i]);
            else if (url->scheme == "udp" && !url->explicitPort)
                Problem("download", key, "a udp:// tracker needs a port: " + r_.trackers[i]);
        }
    }

    void CheckStatistics(const std::string& host, const std::string& url) {
        if (host.empty() == url.empty()) {
            Problem("statistics", "host", "give either host (the collector's host[:port]) or url, exactly one");
            return;
        }
        std::string batchUrl = url;
        const char* key = "url";
        if (!host.empty()) {
            key = "host";
            const std::string withPort = host.find(':') == std::string::npos
                                             ? host + ":" + std::to_string(kCollectorDefaultPort)
                                             : host;
            batchUrl = "http://" + withPort + kCollectorListPath;
        }
        const auto parsed = ParseUrl(batchUrl);
        if (!parsed) {
            Problem("statistics", key, "not a host[:port] or URL: " + (host.empty() ? url : host));
            return;
        }
        if (parsed->scheme != "http" && parsed->scheme != "https") {
            Problem("statistics", key, "must be http:// or https://, not " + batchUrl);
            return;
        }
        if (parsed->path != kCollectorListPath) {
            Problem("statistics", key,
                    "must end in the collector's path " + std::string(kCollectorListPath) +
                        " (veldmoor-statsd answers 404 to anything else), not " + parsed->path);
            return;
        }
        r_.statisticsListUrl = batchUrl;
        r_.statisticsEventUrl = parsed->scheme + "://" + parsed->HostAndPort() + kCollectorEventPath;
    }

    void CheckNat() {
        if (r_.natServer.empty()) Problem("nat", "server", "must be given (the rendezvous server's host name)");
        else if (!AllOf(r_.natServer, kHostCharacters) || r_.natServer.size() > 127)
            Problem("nat", "server", "a host name or IPv4 address (no scheme, no port), not " + r_.natServer);
    }

    void CheckServers() {
        if (!r_.listenAddress.empty() && !AllOf(r_.listenAddress, "0123456789."))
            Problem("servers", "listen-address", "an IPv4 address, not " + r_.listenAddress);
        const std::pair<const char*, const std::string*> paths[] = {
            {"tls-certificate", &r_.tlsCertificate},
            {"tls-key", &r_.tlsKey},
            {"document-root", &r_.documentRoot},
            {"tracker-whitelist", &r_.trackerWhitelist},
        };
        for (const auto& [key, value] : paths) {
            if (value->empty())
                Problem("servers", key,
                        std::string(key).rfind("tls", 0) == 0
                            ? "missing: the resource list is served over HTTPS and needs the publisher's certificate"
                            : "must be given");
            else if (value->front() != '/' || HasControlOrSpace(*value) || value->find(';') != std::string::npos)
                Problem("servers", key, "an absolute path on the server without spaces or ';', not " + *value);
        }
    }

private:
    void Problem(const std::string& section, const std::string& key, const std::string& what) {
        problems_.push_back(ReleaseReader::Field(section, key) + ": " + what);
    }

    Release& r_;
    std::vector<std::string>& problems_;
};

}  // namespace

std::optional<UrlParts> ParseUrl(const std::string& url) {
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0 || HasControlOrSpace(url)) return std::nullopt;
    if (url.find_first_of("?#@\\") != std::string::npos) return std::nullopt;
    UrlParts parts;
    parts.scheme = Lower(url.substr(0, schemeEnd));
    const size_t hostStart = schemeEnd + 3;
    const size_t pathStart = url.find('/', hostStart);
    const std::string authority = url.substr(hostStart, pathStart == std::string::npos ? std::string::npos
                                                                                      : pathStart - hostStart);
    parts.path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    const size_t colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (!AllOf(parts.host, kHostCharacters)) return std::nullopt;
    parts.port = DefaultPort(parts.scheme);
    if (colon != std::string::npos) {
        const std::string port = authority.substr(colon + 1);
        if (!AllOf(port, kDigits) || port.size() > 5 || std::stoul(port) == 0 || std::stoul(port) > 65535)
            return std::nullopt;
        parts.port = static_cast<uint16_t>(std::stoul(port));
        parts.explicitPort = true;
    }
    return parts;
}

std::string Release::InstallerFileName() const {
    const auto url = mirrors.empty() ? std::nullopt : ParseUrl(mirrors.front());
    return url ? url->FileName() : "";
}

std::optional<Release> ParseRelease(const std::string& text, const std::string& path,
                                    const std::string& installerOverride, std::vector<std::string>& problems) {
    Sections sections;
    if (!ParseIni(text, sections, problems, path)) return std::nullopt;
    Release release;
    release.releaseFile = path;
    ReleaseReader reader(release, problems);
    reader.Read(sections);
    if (!installerOverride.empty()) release.installerPath = installerOverride;
    else if (!release.installerPath.empty() && release.installerPath.front() != '/')
        release.installerPath = (std::filesystem::path(path).parent_path() / release.installerPath).string();

    ReleaseChecker checker(release, problems);
    checker.CheckProduct();
    checker.CheckInstaller();
    checker.CheckMirrors();
    checker.CheckResourceList(reader.Indirect().caPolicy);
    checker.CheckTrackers();
    checker.CheckStatistics(reader.Indirect().statisticsHost, reader.Indirect().statisticsUrl);
    checker.CheckNat();
    checker.CheckServers();
    if (!problems.empty()) return std::nullopt;
    return release;
}

std::optional<Release> ReadReleaseFile(const std::string& path, const std::string& installerOverride,
                                       std::vector<std::string>& problems) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        problems.push_back("cannot read the release file " + path);
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseRelease(text.str(), path, installerOverride, problems);
}

}  // namespace veldmoor::publish
