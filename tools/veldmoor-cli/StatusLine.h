#pragma once
// The one-line status of veldmoor-cli, from what the controller reports.
#include <cstdint>
#include <string>

#include "app/DownloadController.h"

namespace veldmoor::cli {

struct StatusSnapshot {
    DownloadState state = DownloadState::ready;
    std::string progressText;   // the controller's, "45.67%"
    std::string sizeText;       // "1.2 GB/1.9 GB"
    std::string speedText;      // "3.4 MB/s"
    std::string remainingText;  // "1 分钟 2 秒", "" when none
    uint32_t verifyPermyriad = 0;
    uint32_t repairPermyriad = 0;
    bool diskLow = false;
};

// "downloading  45.67%  1.2 GB/1.9 GB  3.4 MB/s  剩余 1 分钟 2 秒" (its words in the
// player's language, the state as the log names it).
std::string FormatStatusLine(const StatusSnapshot& status);

// The name of a state as the log prints it, and "installing", "exited".
std::string StateText(DownloadState state);

}  // namespace veldmoor::cli
