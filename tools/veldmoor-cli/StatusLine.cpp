#include "tools/veldmoor-cli/StatusLine.h"

#include "app/DisplayFormat.h"
#include "tools/veldmoor-cli/CliTexts.h"

namespace veldmoor::cli {

std::string StateText(DownloadState state) {
    if (state == DownloadState::installing) return "installing";
    if (state == DownloadState::exited) return "exited";
    const char* name = StateName(state);
    return name != nullptr && *name != '\0' ? name : "state " + std::to_string(static_cast<int>(state));
}

std::string FormatStatusLine(const StatusSnapshot& status) {
    std::string line = StateText(status.state);
    switch (status.state) {
        case DownloadState::md5checking:
            line += "  " + CliText(UserText::cliStatusVerify,
                                   {FormatPercent(status.verifyPermyriad > 10000 ? 10000 : status.verifyPermyriad)});
            break;
        case DownloadState::checkrecover:
            line += "  " + CliText(UserText::cliStatusRepair,
                                   {FormatPercent(status.repairPermyriad > 10000 ? 10000 : status.repairPermyriad)});
            if (!status.speedText.empty()) line += "  " + status.speedText;
            break;
        default:
            line += "  " + status.progressText + "  " + status.sizeText;
            if (!status.speedText.empty()) line += "  " + status.speedText;
            if (!status.remainingText.empty()) line += "  " + CliText(UserText::cliStatusTimeLeft, {status.remainingText});
            break;
    }
    if (status.diskLow) line += "  " + CliText(UserText::cliStatusDiskLow);
    return line;
}

}  // namespace veldmoor::cli
