#include "tools/veldmoor-natd/NatdOptions.h"


#include <charconv>

namespace veldmoor::natd {
namespace {

std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace

std::string NatdUsage() {
    return "usage: veldmoor-natd [options] PORT\n"
           "  Answers the rendezvous of Veldmoor peers on UDP port PORT (0: any free port).\n"
           "  --bind ADDRESS        answer on this IPv4 address only (needed on a host with several:\n"
           "                        replies must come from the address the client wrote to)\n"
           "  --rate N              datagrams a second from one unregistered source address (default 20)\n"
           "  --burst N             datagrams one unregistered source may send at once (default 60)\n"
           "  --global-rate N       datagrams a second from all unregistered sources together (default 5000)\n"
           "  --global-burst N      datagrams all unregistered sources may send at once (default 10000)\n"
           "  --member-rate N       datagrams a second from one registered endpoint (default 4)\n"
           "  --member-burst N      datagrams one registered endpoint may send at once (default 20)\n"
           "  --max-registrations N registered nodes kept at most (default 100000)\n"
           "  --max-per-address N   registered nodes behind one public address at most (default 256)\n"
           "  --takeover-seconds N  silence after which a node behind NAT may register from elsewhere\n"
           "                        or give way in a full table (default 120)\n"
           "  --takeover-direct-seconds N  the same for a node not behind NAT (default 360)\n"
           "  --max-sources N       source addresses tracked for rate limits (default 100000)\n"
           "  --stats-seconds N     seconds between statistics lines, 0 for none (default 300)\n";
}

ParsedOptions ParseNatdOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    NatdOptions options;
    std::optional<int64_t> port;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            parsed.help = true;
            return parsed;
        }
        if (argument.rfind("--", 0) == 0) {
            if (i + 1 >= arguments.size()) {
                parsed.error = argument + " needs a value";
                return parsed;
            }
            const std::string& text = arguments[++i];
            if (argument == "--bind") {
                const std::optional<Ipv4Address> address = Ipv4Address::Parse(text);
                if (!address) {
                    parsed.error = "invalid address for --bind: " + text;
                    return parsed;
                }
                options.address = *address;
                continue;
            }
            const auto number = ParseNumber(text, 0, 100'000'000);
            if (!number || (*number == 0 && argument != "--stats-seconds")) {
                parsed.error = "invalid value for " + argument + ": " + text;
                return parsed;
            }
            if (argument == "--rate") {
                options.limits.datagramsPerSecond = static_cast<double>(*number);
            } else if (argument == "--burst") {
                options.limits.burst = static_cast<double>(*number);
            } else if (argument == "--max-registrations") {
                options.limits.maxRegistrations = static_cast<size_t>(*number);
            } else if (argument == "--global-rate") {
                options.limits.globalDatagramsPerSecond = static_cast<double>(*number);
            } else if (argument == "--global-burst") {
                options.limits.globalBurst = static_cast<double>(*number);
            } else if (argument == "--member-rate") {
                options.limits.memberDatagramsPerSecond = static_cast<double>(*number);
            } else if (argument == "--member-burst") {
                options.limits.memberBurst = static_cast<double>(*number);
            } else if (argument == "--max-per-address") {
                options.limits.maxRegistrationsPerAddress = static_cast<size_t>(*number);
            } else if (argument == "--takeover-seconds") {
                options.limits.takeoverAfterMs = *number * 1000;
            } else if (argument == "--takeover-direct-seconds") {
                options.limits.takeoverAfterDirectMs = *number * 1000;
            } else if (argument == "--max-sources") {
                options.limits.maxSources = static_cast<size_t>(*number);
            } else if (argument == "--stats-seconds") {
                options.statisticsSeconds = static_cast<int>(*number);
            } else {
                parsed.error = "unknown option " + argument;
                return parsed;
            }
            continue;
        }
        if (port) {
            parsed.error = "more than one port given";
            return parsed;
        }
        port = ParseNumber(argument, 0, 65535);
        if (!port) {
            parsed.error = "invalid port: " + argument;
            return parsed;
        }
    }
    if (!port) {
        parsed.error = "no port given";
        return parsed;
    }
    options.port = static_cast<uint16_t>(*port);
    parsed.options = options;
    return parsed;
}

}  // namespace veldmoor::natd
