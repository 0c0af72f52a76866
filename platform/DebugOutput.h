#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace veldmoor::platform {

// The debugger output stands in as standard error.
void WriteDebugOutput(std::string_view text);

// strftime of the given calendar seconds in local time.
std::string FormatLocalTime(const char* format, int64_t calendarSeconds);

}  // namespace veldmoor::platform
