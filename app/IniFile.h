#pragma once
// Small INI files with the semantics the task file relies on: a missing file or
// key reads as the default, a write creates the file and the section, integer
// reads take the leading decimal digits. Section and key names compare without
// regard to case. Every write replaces the file through a temporary copy and a
// rename, so a crash mid-write never loses the previous copy.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veldmoor {

std::string IniReadString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback = "");
// The leading decimal digits (after an optional sign) of the value; `fallback`
// when the key is missing; 0 when the value starts with no digit.
int64_t IniReadInteger(const std::string& path, const std::string& section, const std::string& key,
                       int64_t fallback = 0);
// False when the file could not be written (the previous copy then stays).
bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);
// Several keys of one section in one replacement of the file.
bool IniWriteValues(const std::string& path, const std::string& section,
                    const std::vector<std::pair<std::string, std::string>>& values);

// The whole-text forms the file functions use; exposed for tests.
std::string IniTextRead(const std::string& text, const std::string& section, const std::string& key,
                        bool* found);
std::string IniTextWrite(const std::string& text, const std::string& section, const std::string& key,
                         const std::string& value);

}  // namespace veldmoor
