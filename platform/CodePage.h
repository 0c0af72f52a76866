#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace veldmoor::platform {

// Converts bytes in a Windows code page (936, 950, 949, 932, 65001, ...) to the
// system code page, which is UTF-8 here. Empty optional on an unknown code page
// or bytes that are not valid in it.
std::optional<std::string> ConvertToSystemCodePage(int codePage, std::string_view bytes);

}  // namespace veldmoor::platform
