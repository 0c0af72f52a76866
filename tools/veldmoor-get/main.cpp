// veldmoor-get: the command-line front end of the download engine.
#include <cstdio>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Signals.h"
#include "tools/veldmoor-get/CommandLine.h"
#include "tools/veldmoor-get/DownloadRun.h"
#include "tools/veldmoor-get/ExitStatus.h"

int main(int argc, char** argv) {
    using namespace veldmoor;
    // Before any thread starts, so that no engine thread ever sees the signals.
    if (!platform::WatchStopSignals()) std::fprintf(stderr, "veldmoor-get: could not watch for stop signals\n");

    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const CommandLine commandLine = ParseCommandLine(arguments);
    if (std::holds_alternative<HelpRequest>(commandLine)) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitComplete;
    }
    if (const auto* error = std::get_if<UsageError>(&commandLine)) {
        std::fprintf(stderr, "veldmoor-get: %s\n%s\n", error->message.c_str(), kUsageHint);
        return kExitUsage;
    }
    const GetOptions& options = std::get<GetOptions>(commandLine);
    DownloadRun run(options, !options.quiet && platform::StandardErrorIsTerminal());
    return run.Execute();
}
