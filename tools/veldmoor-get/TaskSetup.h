#pragma once
// Turns the options into what the task interface takes: the task descriptor
// and the process's proxy settings.
#include <cstdint>
#include <string>

#include "engine/TaskApi.h"
#include "tools/veldmoor-get/CommandLine.h"

namespace veldmoor {

// With a torrent and URLs a P2SP task; with a torrent alone a BitTorrent task;
// else an HTTP task. The target is always a full file path.
uint32_t TaskFlagsFor(const GetOptions& options);
// "file://" + the torrent path, or empty.
std::string SourceTextFor(const GetOptions& options);
// One source per line. A BitTorrent task's first line is its torrent's address.
std::string SourceListFor(const GetOptions& options);

// Fills every field but the handle; `sourceList` must outlive the descriptor.
void FillTaskDescriptor(const GetOptions& options, const std::string& sourceList, TaskDescriptor& descriptor);

// The proxy as the options describe it; the texts point into `proxy`, which
// must outlive the settings.
ProxySettings ProxySettingsFor(const ProxyOption& proxy);

}  // namespace veldmoor
