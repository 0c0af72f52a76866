// veldmoor-cli: the download controller in a terminal, for machines without
// a display and for tests.
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "app/DownloadController.h"
#include "engine/TaskApi.h"
#include "foundation/EventSink.h"
#include "i18n/Language.h"
#include "netenv/PortMapping.h"
#include "netenv/UpnpPortMapping.h"
#include "platform/Signals.h"
#include "profile/BuiltInProfile.h"
#include "reporting/StatisticsSink.h"
#include "tools/veldmoor-cli/CliOptions.h"
#include "tools/veldmoor-cli/CliRun.h"
#include "tools/veldmoor-cli/Terminal.h"
#include "tools/veldmoor-cli/TerminalView.h"
#include "tools/veldmoor-cli/TransferTally.h"

int main(int argc, char** argv) {
    using namespace veldmoor;
    // Before any thread starts, so that no engine thread ever sees the signals.
    if (!platform::WatchStopSignals()) std::fprintf(stderr, "veldmoor-cli: could not watch for stop signals\n");

    const cli::CliParse parse = cli::ParseCliArguments(std::vector<std::string_view>(argv + 1, argv + argc));
    if (parse.options.help) {
        std::fputs(cli::CliUsage().c_str(), stdout);
        return 0;
    }
    if (!parse.error.empty()) {
        std::fprintf(stderr, "veldmoor-cli: %s\n%s", parse.error.c_str(), cli::CliUsage().c_str());
        return 2;
    }
    // Translations need an application object; no display is asked for.
    QCoreApplication application(argc, argv);
    i18n::InstallTranslations(application, i18n::ProcessLanguage());
    cli::Terminal terminal(platform::StandardOutputIsTerminal(), platform::StandardInputIsTerminal());
    cli::TerminalView view(terminal, parse.options.verify);
    const std::unique_ptr<IEventSink> statistics = reporting::MakeStatisticsSink();
    cli::TransferTally events(*statistics);
    // The engine's own events (piece checks, host look-ups) go the same way.
    EngineSetEventSink(statistics.get());
    std::unique_ptr<IPortMapping> portMapping;
    if (parse.options.upnp) {
        portMapping = std::make_unique<UpnpPortMapping>(events);
    } else {
        portMapping = std::make_unique<NoPortMapping>();
    }
    DownloadController controller(BuiltInProfile(), events, *portMapping, view, DefaultControllerPaths());
    controller.SetTextTranslator(i18n::ControllerTranslator());
    cli::CliRun run(controller, view, terminal, events, parse.options);
    const int status = run.Execute();
    EngineSetEventSink(nullptr);
    return status;
}
