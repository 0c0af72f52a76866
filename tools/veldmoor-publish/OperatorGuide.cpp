// RELEASE.md: what goes where on the publisher's servers, and how to check
// each one from outside once it is up.
#include <set>

#include "tools/veldmoor-publish/ReleaseFolder.h"
#include "tools/veldmoor-publish/ServerConfig.h"

namespace veldmoor::publish {
namespace {

// The info hash as a tracker expects it in a query: every byte escaped.
std::string EscapedInfoHash(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += "%" + hex.substr(i, 2);
    return out;
}

std::string MiB(uint64_t bytes) { return std::to_string((bytes + (1u << 19)) >> 20) + " MiB"; }

void Section(std::string& text, const std::string& title) { text += "\n## " + title + "\n\n"; }

}  // namespace

std::string OperatorGuide(const Release& release, const PublishedRelease& published) {
    const std::string fileName = release.InstallerFileName();
    const auto list = ParseUrl(release.resourceListUrl);
    const auto stats = ParseUrl(release.statisticsListUrl);
    std::string text = "# Release " + release.name + ": " + fileName + "\n\n";
    text += "Written by veldmoor-publish from " + release.releaseFile + ". Installer: " + fileName + ", " +
            std::to_string(published.installerSize) + " bytes (" + MiB(published.installerSize) + "), MD5 " +
            published.profile.expectedMd5 + ".\n";
    if (published.pieceLength > 0) {
        text += "Torrent: " + fileName + ".torrent, " + std::to_string(published.pieceLength / 1024) +
                " KiB pieces, info hash " + published.infoHashHex + ".\n";
    }
    for (const std::string& warning : published.warnings) text += "\n**Warning:** " + warning + "\n";

    Section(text, "1. Build the programs with this release");
    text += "From this folder, with SOURCE the Veldmoor source tree:\n\n"
            "    cmake -S SOURCE -B build-release -DVELDMOOR_RELEASE=$PWD -DVELDMOOR_TESTS=OFF\n"
            "    cmake --build build-release\n"
            "    (cd build-release && cpack -G DEB)\n\n"
            "The build compiles `profile.txt` (and the torrent it names) into `veldmoor`, `veldmoor-cli` and\n"
            "`veldmoor-get`; players install the `veldmoor` package.\n";

    Section(text, "2. Mirrors (nginx)");
    text += "Put the installer at these paths on every mirror host, under " + release.documentRoot + ":\n\n";
    std::set<std::string> paths;
    for (const std::string& mirror : release.mirrors) {
        const auto url = ParseUrl(mirror);
        if (url->scheme == "http" && paths.insert(url->path).second)
            text += "    install -D -m 644 " + fileName + " " + release.documentRoot + url->path + "\n";
    }
    text += "\nand enable the site `servers/nginx-veldmoor.conf` (it also serves the resource list):\n\n"
            "    install -m 644 servers/nginx-veldmoor.conf /etc/nginx/sites-available/veldmoor\n"
            "    ln -sf ../sites-available/veldmoor /etc/nginx/sites-enabled/veldmoor\n"
            "    nginx -t && systemctl reload nginx\n\n"
            "Check each mirror answers a range with 206:\n\n";
    for (const std::string& mirror : release.mirrors) {
        if (ParseUrl(mirror)->scheme == "http")
            text += "    curl -s -o /dev/null -w '%{http_code} %{size_download}\\n' -r 0-1023 " + mirror + "\n";
        else
            text += "    curl -s -o /dev/null -w '%{size_download}\\n' -r 0-1023 " + mirror + "\n";
    }
    text += "\n(expected `206 1024`). FTP mirrors are not served by this site: place the file on them by hand.\n";

    Section(text, "3. Resource list (nginx, HTTPS)");
    text += "    install -D -m 644 www" + list->path + " " + release.documentRoot + list->path + "\n\n" +
            "The site reads the certificate " + release.tlsCertificate + " and its key " + release.tlsKey +
            "; the certificate must name " + list->host + ". The players trust " +
            (release.resourceListCaFile.empty() ? std::string("their system's CA store") : release.resourceListCaFile) +
            ". Check:\n\n    curl -sf" +
            (release.resourceListCaFile.empty() ? std::string("") : " --cacert " + release.resourceListCaFile) + " " +
            release.resourceListUrl + " | grep -c '<IP>'\n\n" +
            "(the number of http mirrors). The list switches peer transfer " + (release.p2p ? "on" : "off") +
            "; edit `Open` of the P2PSwitch project to change that without a new build.\n";

    Section(text, "4. Tracker (opentracker)");
    if (published.infoHashHex.empty()) {
        text += "No torrent without the installer: nothing to track.\n";
    } else {
        text += "The tracker (Debian's `opentracker` package) accepts only the whitelisted torrent:\n\n"
                "    install -m 644 servers/opentracker.conf /etc/opentracker/opentracker.conf\n"
                "    cat servers/opentracker.whitelist >> " + release.trackerWhitelist + "\n"
                "    systemctl restart opentracker\n\nCheck (a bencoded answer with `interval`, not `failure reason`):\n\n";
        for (const std::string& tracker : release.trackers) {
            if (ParseUrl(tracker)->scheme == "udp") continue;
            text += "    curl -s '" + tracker + "?info_hash=" + EscapedInfoHash(published.infoHashHex) +
                    "&peer_id=-VM0000-publishcheck&port=6881&uploaded=0&downloaded=0&left=0&compact=1'\n";
        }
    }

    Section(text, "5. Statistics collector (veldmoor-statsd)");
    text += "On " + stats->host + ", install the `veldmoor-servers` package, then:\n\n"
            "    install -m 644 servers/veldmoor-statsd.default /etc/default/veldmoor-statsd\n"
            "    systemctl restart veldmoor-statsd\n"
            "    curl -s http://" + stats->HostAndPort() + "/health\n"
            "    veldmoor-statsd report --database /var/lib/veldmoor-statsd/events.sqlite\n\n"
            "The client posts to " + release.statisticsListUrl + "; open TCP port " + std::to_string(stats->port) +
            ".\n";

    Section(text, "6. Rendezvous server (veldmoor-natd)");
    text += "On " + release.natServer + " (a public IPv4 address), install `veldmoor-servers`, then:\n\n"
            "    install -m 644 servers/veldmoor-natd.default /etc/default/veldmoor-natd\n"
            "    systemctl restart veldmoor-natd\n"
            "    journalctl -u veldmoor-natd    # a statistics line every 5 minutes\n\n"
            "Open UDP port " + std::to_string(kNatdPort) + ". Check on the server that it listens:\n\n"
            "    ss -uln | grep ':" + std::to_string(kNatdPort) + " '\n\n"
            "and, once a player has started the program, that the journal's statistics line counts\n"
            "`registers` above 0.\n";

    Section(text, "Files in this folder");
    for (const std::string& file : published.files) text += "- `" + file + "`\n";
    return text;
}

}  // namespace veldmoor::publish
