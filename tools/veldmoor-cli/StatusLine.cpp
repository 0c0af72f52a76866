#include "tools/veldmoor-cli/StatusLine.h"

#include <cstdio>

namespace veldmoor::cli {

std::string StateText(DownloadState state) {
    if (state == DownloadState::installing) return "installing";
    if (state == DownloadState::exited) return "exited";
    const char* name = StateName(state);
    return name != nullptr && *name != '\0' ? name : "state " + std::to_string(static_cast<int>(state));
}

std::string PercentText(uint32_t permyriad) {
    char text[32];
    if (permyriad % 100 != 0)
        std::snprintf(text, sizeof text, "%u.%02u%%", permyriad / 100, permyriad % 100);
    else
        std::snprintf(text, sizeof text, "%u%%", permyriad / 100);
    return text;
}

std::string FormatStatusLine(const StatusSnapshot& status) {
    std::string line = StateText(status.state);
    switch (status.state) {
        case DownloadState::md5checking:
            line += "  verify " + PercentText(status.verifyPermyriad > 10000 ? 10000 : status.verifyPermyriad);
            break;
        case DownloadState::checkrecover:
            line += "  repair " + PercentText(status.repairPermyriad > 10000 ? 10000 : status.repairPermyriad);
            if (!status.speedText.empty()) line += "  " + status.speedText;
            break;
        default:
            line += "  " + status.progressText + "  " + status.sizeText;
            if (!status.speedText.empty()) line += "  " + status.speedText;
            if (!status.remainingText.empty()) line += "  " + status.remainingText + " left";
            break;
    }
    if (status.diskLow) line += "  (disk low)";
    return line;
}

}  // namespace veldmoor::cli
