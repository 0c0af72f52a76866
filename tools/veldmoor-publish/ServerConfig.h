#pragma once
// What the publisher's servers need for one release, as the text of each
// file. Every option of veldmoor-natd and veldmoor-statsd that a release sets
// is listed in one table per program here, so a new option is one more row.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/veldmoor-publish/ReleaseFile.h"

namespace veldmoor::publish {

// One command-line option of a server program and why it has its value.
struct DaemonOption {
    std::string argument;  // as it stands on the command line: "--rate 20", or "82" for a positional one
    std::string meaning;
};

// The options veldmoor-natd.service and veldmoor-statsd.service start the
// programs with. Without a release (the packages' defaults) they answer on
// every address and the statistics port is the collector's usual 8080.
std::vector<DaemonOption> NatdOptions(const std::string& listenAddress);
std::vector<DaemonOption> StatsdOptions(const std::string& listenAddress, uint16_t listenPort);

// "/etc/default/<program>": one shell variable the unit expands into its
// command line, with each option explained above it.
std::string DaemonDefaultsFile(const std::string& program, const std::string& variable,
                               const std::vector<DaemonOption>& options, const std::string& origin);

constexpr const char* kNatdVariable = "VELDMOOR_NATD_OPTIONS";
constexpr const char* kStatsdVariable = "VELDMOOR_STATSD_OPTIONS";
constexpr uint16_t kNatdPort = 82;  // the client writes to this port

// The nginx site serving the mirrors' files and the resource list.
std::string NginxSite(const Release& release);

// opentracker's configuration and its whitelist (the torrent's info hash).
std::string OpentrackerConfig(const Release& release);
std::string OpentrackerWhitelist(const std::string& infoHashHex);

// The resource list the client fetches: the http mirrors and the P2P switch.
std::string ResourceListXml(const Release& release);

}  // namespace veldmoor::publish
