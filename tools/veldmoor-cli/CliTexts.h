#pragma once
// veldmoor-cli's own texts in the player's language: its sources live with
// every other text in app/UserTexts, and the lookup is the one i18n gives.
#include <initializer_list>
#include <string>

#include "app/UserTexts.h"

namespace veldmoor::cli {

// The text in the player's language, with "%1", "%2", ... filled in.
std::string CliText(UserText text, std::initializer_list<std::string> arguments = {});

// The same after the program's name: "veldmoor-cli: ...".
std::string CliNotice(UserText text, std::initializer_list<std::string> arguments = {});

}  // namespace veldmoor::cli
