#pragma once
// The publisher's summary: the download funnel per day, failures by code,
// the average speeds of finished downloads and the share of bytes from peers.
#include <string>

#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {

bool BuildReport(IEventStore& store, std::string& text, std::string& error);

}  // namespace veldmoor::statsd
