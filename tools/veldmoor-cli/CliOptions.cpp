#include "tools/veldmoor-cli/CliOptions.h"

#include <charconv>
#include <string>

#include "engine/SpeedLimit.h"

namespace veldmoor::cli {
namespace {

std::optional<bool> YesNo(std::string_view text, std::string_view yes, std::string_view no) {
    if (text == yes) return true;
    if (text == no) return false;
    return std::nullopt;
}

}  // namespace

std::string CliUsage() {
    return "usage: veldmoor-cli [options]\n"
           "Downloads this build's installer, verifies it and launches it.\n"
           "  --verify yes|no    answer to the verify question (default: ask on a terminal, else yes)\n"
           "  --install yes|no   launch the installer once it is there (default: ask on a terminal, else yes)\n"
           "  --save-dir DIR     where the installer goes (only before a download has begun)\n"
           "  --limit KIB        download limit in KiB/s, 0 for none\n"
           "  --p2p on|off       peer-to-peer transfer (default: on, or what the resource list says)\n"
           "  --upnp on|off      ask the home router to forward the listening port (default: on)\n"
           "  -h, --help         this text\n"
           "Ctrl-C exits; run again to continue where it stopped.\n"
           "Exit status: 0 installer launched (or verified/finished when told not to launch),\n"
           "1 the download, verification or launch failed, 2 bad arguments, 130/143 stopped by a signal.\n";
}

CliParse ParseCliArguments(const std::vector<std::string_view>& arguments) {
    CliParse parse;
    CliOptions& options = parse.options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view flag = arguments[i];
        if (flag == "-h" || flag == "--help") {
            options.help = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            parse.error = flag.substr(0, 2) == "--" ? std::string(flag) + " needs a value" : "unknown argument " + std::string(flag);
            return parse;
        }
        const std::string_view value = arguments[++i];
        if (flag == "--verify" || flag == "--install") {
            const auto answer = YesNo(value, "yes", "no");
            if (!answer) {
                parse.error = std::string(flag) + " takes yes or no";
                return parse;
            }
            (flag == "--verify" ? options.verify : options.install) = answer;
        } else if (flag == "--p2p") {
            options.p2p = YesNo(value, "on", "off");
            if (!options.p2p) {
                parse.error = "--p2p takes on or off";
                return parse;
            }
        } else if (flag == "--upnp") {
            const auto answer = YesNo(value, "on", "off");
            if (!answer) {
                parse.error = "--upnp takes on or off";
                return parse;
            }
            options.upnp = *answer;
        } else if (flag == "--save-dir") {
            if (value.empty()) {
                parse.error = "--save-dir needs a folder";
                return parse;
            }
            options.saveDirectory = std::string(value);
        } else if (flag == "--limit") {
            const auto [end, failure] = std::from_chars(value.data(), value.data() + value.size(), options.limitKib);
            if (failure != std::errc() || end != value.data() + value.size() || options.limitKib > static_cast<uint32_t>(kMaxSpeedLimitKiB)) {
                parse.error = "--limit takes KiB/s from 0 to " + std::to_string(kMaxSpeedLimitKiB);
                return parse;
            }
        } else {
            parse.error = "unknown argument " + std::string(flag);
            return parse;
        }
    }
    return parse;
}

}  // namespace veldmoor::cli
