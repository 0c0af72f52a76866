#pragma once
// What veldmoor-get refuses before it starts a task: an output it could not
// produce as one file, and an output another run is writing.
#include <optional>
#include <string>

#include "tools/veldmoor-get/CommandLine.h"

namespace veldmoor {

// Why the options cannot give one complete file at -o; nothing when they can.
std::optional<std::string> OutputProblem(const GetOptions& options);
// The lock file that keeps a second run off the same output.
std::string OutputLockPath(const std::string& output);

}  // namespace veldmoor
