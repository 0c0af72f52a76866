#pragma once
// Turns the options into what the task interface takes: the task's
// description, its mirrors and the process's proxy settings.
#include <string>
#include <vector>

#include "engine/TaskApi.h"
#include "engine/TaskInterface.h"
#include "tools/veldmoor-get/CommandLine.h"

namespace veldmoor {

// With a torrent and URLs a P2SP task; with a torrent alone a BitTorrent
// task; else an HTTP task. The target is always a full file path. The torrent
// source is "file://" + the torrent path; a BitTorrent task's first source
// names the same file.
TaskSpec TaskSpecFor(const GetOptions& options);

std::vector<Mirror> MirrorsFor(const GetOptions& options);

// The proxy as the options describe it; the texts point into `proxy`, which
// must outlive the settings.
ProxySettings ProxySettingsFor(const ProxyOption& proxy);

}  // namespace veldmoor
