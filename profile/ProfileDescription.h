#pragma once
// A product profile as a small text file: one "key=value" line per text
// field, and the torrent as the path of a file beside it. The profile builder
// writes it next to the generated source so a person can read what went into
// a build, and test programs load their profile from one made at run time.
#include <optional>
#include <string>

#include "app/ProductProfile.h"

namespace veldmoor {

// The text of a description; the torrent is named by `torrentPath`, not
// embedded. Values never hold line breaks (the caller's texts are one line).
std::string DescribeProfile(const ProductProfile& profile, const std::string& torrentPath);

// Reads a description and the torrent file it names (a relative path is
// beside the description). Nothing when the file
// cannot be read, a line is malformed, a key is unknown or a value holds a
// line break.
std::optional<ProductProfile> LoadProfileDescription(const std::string& path, std::string& error);

// Standard base64 with "=" padding.
std::string Base64Encode(const std::string& bytes);

}  // namespace veldmoor
