#pragma once
// The command line of veldmoor-cli.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldmoor::cli {

struct CliOptions {
    // Answers given in advance; unset means ask at a prompt on a terminal,
    // and yes when there is no terminal to ask at.
    std::optional<bool> verify;
    std::optional<bool> install;
    std::string saveDirectory;  // empty: the controller's default
    uint32_t limitKib = 0;      // 0: no limit
    std::optional<bool> p2p;
    bool upnp = true;           // ask the home router to forward the listening port
    bool help = false;
};

struct CliParse {
    CliOptions options;
    std::string error;  // empty when the arguments were good
};

CliParse ParseCliArguments(const std::vector<std::string_view>& arguments);

std::string CliUsage();

}  // namespace veldmoor::cli
