#pragma once
// The publisher's summary: the download funnel per day, failures by code,
// the average speeds of finished downloads and the share of bytes from peers.
#include <string>
#include <vector>

#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {

bool BuildReport(IEventStore& store, std::string& text, std::string& error);

// Statements that keep the report's figures of every day before `day`
// ("YYYY-MM-DD") in the summary tables; days already summarised stay as
// they are. Run before those days' events are removed.
std::vector<std::string> SummariseDaysBeforeSql(const std::string& day);

}  // namespace veldmoor::statsd
