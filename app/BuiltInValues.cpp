#include "app/BuiltInValues.h"

#include <cstring>

#include "app/TaskPersistence.h"
#include "foundation/CVeldmoorLog.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {

constexpr size_t kMaxDecoded = 4096;
constexpr int32_t kUiChannel = 7;

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool WriteInto(const std::string& bytes, const std::string& path) {
    platform::CreateDirectories(platform::ParentPath(path));
    return platform::ReplaceFileContents(path, bytes);
}

}  // namespace

std::string DecodeBuiltInBase64(const std::string& text) {
    if (text.size() % 4 != 0) return {};
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < kMaxDecoded; i += 4) {
        int values[4];
        int padding = 0;
        for (int j = 0; j < 4; ++j) {
            const char c = text[i + static_cast<size_t>(j)];
            // Padding may only close the text.
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                values[j] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return {};
            values[j] = Sextet(c);
            if (values[j] < 0) return {};
        }
        const uint32_t group = (static_cast<uint32_t>(values[0]) << 18) | (static_cast<uint32_t>(values[1]) << 12) |
                               (static_cast<uint32_t>(values[2]) << 6) | static_cast<uint32_t>(values[3]);
        const char bytes[3] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8), static_cast<char>(group)};
        out.append(bytes, static_cast<size_t>(3 - padding));
    }
    if (out.size() > kMaxDecoded) out.resize(kMaxDecoded);
    const size_t zero = out.find('\0');
    if (zero != std::string::npos) out.resize(zero);
    return out;
}

ReleaseResult ReleaseFile(const std::string& bytes, const std::string& folder, const std::string& temporaryFolder,
                          const std::string& name, std::string* usedPath) {
    const std::string first = TargetPath(folder, name);
    if (!bytes.empty() && WriteInto(bytes, first)) {
        if (usedPath) *usedPath = first;
        return ReleaseResult::intoFolder;
    }
    VeldmoorLog().Write("Veldmoor UI : 释放文件(path=" + first + ")第一次失败", kUiChannel, kUiChannel);
    const std::string second = TargetPath(temporaryFolder, name);
    if (!bytes.empty() && WriteInto(bytes, second)) {
        if (usedPath) *usedPath = second;
        return ReleaseResult::intoTemporary;
    }
    VeldmoorLog().Write("Veldmoor UI : 初始化失败，释放文件(path=" + second + ")第二次失败", kUiChannel, kUiChannel);
    return ReleaseResult::failed;
}

}  // namespace veldmoor
