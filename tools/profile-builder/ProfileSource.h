#pragma once
// The C++ source that compiles a profile into an executable.
#include <string>

#include "app/ProductProfile.h"

namespace veldmoor::profilebuilder {

// A translation unit defining BuiltInProfile() with every value of `profile`.
std::string ProfileSourceCode(const ProductProfile& profile);

// The statistics configuration a profile carries: batches go to `batchUrl`,
// single events to `eventUrl`.
std::string StatisticsConfigText(const std::string& batchUrl, const std::string& eventUrl);

// `bytes` as a C++ string literal expression that keeps every byte, zero
// bytes included (octal escapes for anything but printable ASCII).
std::string CppStringLiteral(const std::string& bytes);

}  // namespace veldmoor::profilebuilder
