#include "tools/veldmoor-get/TaskSetup.h"

namespace veldmoor {
namespace {

constexpr const char* kFileScheme = "file://";

TaskKind TaskKindFor(const GetOptions& options) {
    if (options.torrent.empty()) return TaskKind::Http;
    return options.urls.empty() ? TaskKind::BitTorrent : TaskKind::P2sp;
}

}  // namespace

TaskSpec TaskSpecFor(const GetOptions& options) {
    TaskSpec spec;
    spec.kind = TaskKindFor(options);
    if (!options.torrent.empty()) spec.torrentSource = kFileScheme + options.torrent;
    // The task interface names a BitTorrent task's first source its torrent's
    // address, while the job reads the torrent from the torrent source: both
    // name the same file, so the two agree.
    if (spec.kind == TaskKind::BitTorrent) spec.sources.push_back(spec.torrentSource);
    spec.sources.insert(spec.sources.end(), options.urls.begin(), options.urls.end());
    spec.target = options.output;
    spec.targetIsFile = true;
    spec.stateFile = options.stateFile;
    return spec;
}

std::vector<Mirror> MirrorsFor(const GetOptions& options) {
    std::vector<Mirror> mirrors;
    for (const MirrorOption& mirror : options.mirrors) mirrors.push_back({mirror.url, mirror.hostName});
    return mirrors;
}

ProxySettings ProxySettingsFor(const ProxyOption& proxy) {
    ProxySettings settings;
    settings.kind = proxy.kind;
    settings.host = proxy.host.c_str();
    settings.port = proxy.port;
    settings.remoteResolve = proxy.remoteResolve;
    settings.userName = proxy.userName.c_str();
    settings.password = proxy.password.c_str();
    return settings;
}

}  // namespace veldmoor
