#pragma once
// Moving files into place.
#include <string>

namespace veldmoor::platform {

// Moves `from` to `to` only when nothing exists at `to`; an existing file is
// never replaced. False when anything is in the way or the move fails.
bool RenameNoReplace(const std::string& from, const std::string& to);

// Moves `from` over `to` in one step (same volume), replacing what was there.
bool RenameReplacing(const std::string& from, const std::string& to);

}  // namespace veldmoor::platform
