#include "tools/veldmoor-publish/ServerConfig.h"

#include <map>
#include <set>

namespace veldmoor::publish {
namespace {

std::string XmlAttribute(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string ListenDirective(const Release& release, uint16_t port, const char* suffix = "") {
    const std::string address = release.listenAddress.empty() ? "" : release.listenAddress + ":";
    return "    listen " + address + std::to_string(port) + suffix + ";\n";
}

}  // namespace

std::vector<DaemonOption> NatdOptions(const std::string& listenAddress) {
    std::vector<DaemonOption> options = {
        {std::to_string(kNatdPort), "UDP port; the client always writes to 82"},
        {"--rate 20", "datagrams a second accepted from one source address"},
        {"--burst 60", "datagrams one source may send at once"},
        {"--max-registrations 100000", "registered nodes kept at most"},
        {"--max-sources 100000", "source addresses tracked for the rate limit"},
        {"--stats-seconds 300", "seconds between statistics lines in the journal"},
    };
    if (!listenAddress.empty()) options.push_back({"--bind " + listenAddress, "the address the clients write to"});
    return options;
}

std::vector<DaemonOption> StatsdOptions(const std::string& listenAddress, uint16_t listenPort) {
    const std::string address = listenAddress.empty() ? "0.0.0.0" : listenAddress;
    return {
        {"--listen " + address + ":" + std::to_string(listenPort), "where the client posts its statistics batches"},
        {"--database /var/lib/veldmoor-statsd/events.sqlite",
         "SQLite file in the unit's state folder, or a PostgreSQL connection string"},
    };
}

std::string DaemonDefaultsFile(const std::string& program, const std::string& variable,
                               const std::vector<DaemonOption>& options, const std::string& origin) {
    std::string text = "# Options of " + program + ", read by " + program + ".service (" + origin + ").\n" +
                       "# See " + program + "(8); restart the service after a change.\n";
    std::string line;
    for (const DaemonOption& option : options) {
        text += "#   " + option.argument + std::string(option.argument.size() < 40 ? 40 - option.argument.size() : 1, ' ') +
                option.meaning + "\n";
        line += (line.empty() ? "" : " ") + option.argument;
    }
    return text + variable + "=\"" + line + "\"\n";
}

std::string NginxSite(const Release& release) {
    std::string text = "# nginx site for the release " + release.name +
                       ": the installer's http mirrors and the resource list.\n"
                       "# Files are served from " + release.documentRoot + " (see RELEASE.md).\n";
    // One server per port, naming every mirror host that listens on it.
    std::map<uint16_t, std::set<std::string>> mirrorHosts;
    for (const std::string& mirror : release.mirrors) {
        const auto url = ParseUrl(mirror);
        if (url && url->scheme == "http") mirrorHosts[url->port].insert(url->host);
    }
    for (const auto& [port, hosts] : mirrorHosts) {
        text += "server {\n" + ListenDirective(release, port) + "    server_name";
        for (const std::string& host : hosts) text += " " + host;
        text += ";\n    root " + release.documentRoot +
                ";\n"
                "    # Range requests come from many clients at once; no directory listings.\n"
                "    autoindex off;\n"
                "    location / { try_files $uri =404; }\n"
                "}\n";
    }
    const auto list = ParseUrl(release.resourceListUrl);
    if (list) {
        text += "server {\n" + ListenDirective(release, list->port, " ssl") + "    server_name " + list->host +
                ";\n    ssl_certificate " + release.tlsCertificate + ";\n    ssl_certificate_key " + release.tlsKey +
                ";\n    root " + release.documentRoot + ";\n    location = " + list->path +
                " { default_type application/xml; add_header Cache-Control \"no-cache\"; }\n"
                "    location / { return 404; }\n"
                "}\n";
    }
    return text;
}

std::string OpentrackerConfig(const Release& release) {
    std::string text = "# opentracker for the release " + release.name + ": only the installer's torrent.\n";
    std::set<std::string> listens;
    for (const std::string& tracker : release.trackers) {
        const auto url = ParseUrl(tracker);
        if (!url) continue;
        const std::string address = (release.listenAddress.empty() ? "0.0.0.0" : release.listenAddress) + ":" +
                                    std::to_string(url->port);
        listens.insert((url->scheme == "udp" ? "listen.udp " : "listen.tcp ") + address);
    }
    for (const std::string& listen : listens) text += listen + "\n";
    // opentracker changes root into its folder before it reads the list, so
    // the list is named relative to that folder.
    const size_t slash = release.trackerWhitelist.rfind('/');
    text += "tracker.rootdir " + release.trackerWhitelist.substr(0, slash == 0 ? 1 : slash) + "\n";
    text += "access.whitelist " + release.trackerWhitelist.substr(slash + 1) + "\n";
    text += "tracker.user _opentracker\n";
    return text;
}

std::string OpentrackerWhitelist(const std::string& infoHashHex) { return infoHashHex + "\n"; }

std::string ResourceListXml(const Release& release) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ResourceList>\n";
    text += "  <project ID=\"1\" Task=\"" + XmlAttribute(release.mirrors.front()) + "\" Open=\"true\">\n";
    // A cdn per mirror: each keeps its own folder and Host header. The list
    // replaces the task's mirrors, so the built-in one is listed too.
    int id = 0;
    for (const std::string& mirror : release.mirrors) {
        const auto url = ParseUrl(mirror);
        if (!url || url->scheme != "http") continue;
        ++id;
        text += "    <cdn ID=\"" + std::to_string(id) + "\" Name=\"mirror-" + std::to_string(id) + "\" MiddleDir=\"" +
                XmlAttribute(url->Folder()) + "\" FileName=\"" + XmlAttribute(url->FileName()) + "\" HostName=\"" +
                XmlAttribute(url->host) + "\" Open=\"true\">\n      <IP>" + XmlAttribute(url->HostAndPort()) +
                "</IP>\n    </cdn>\n";
    }
    text += "  </project>\n";
    text += std::string("  <project ID=\"2\" Task=\"P2PSwitch\" Open=\"") + (release.p2p ? "true" : "false") +
            "\"/>\n</ResourceList>\n";
    return text;
}

}  // namespace veldmoor::publish
