#pragma once
// The built-in texts in their stored form, and writing the embedded files out
// into a folder.
#include <string>

namespace veldmoor {

// Standard base64 with "=" padding. A text whose length is not a multiple of
// 4, or that holds a byte outside the alphabet, decodes to "". The result ends
// at its first zero byte and holds at most 4096 bytes.
std::string DecodeBuiltInBase64(const std::string& text);

enum class ReleaseResult { intoFolder = 0, intoTemporary = 1, failed = -1 };

// Writes `bytes` as folder/name (creating the folder); when that fails, as
// temporaryFolder/name. `usedPath` receives the path written.
ReleaseResult ReleaseFile(const std::string& bytes, const std::string& folder, const std::string& temporaryFolder,
                          const std::string& name, std::string* usedPath);

}  // namespace veldmoor
