#include "platform/Files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace veldmoor::platform {
namespace fs = std::filesystem;

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool DirectoryExists(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool CreateDirectories(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(bytes).str();
}

BoundedRead ReadFileUpTo(const std::string& path, size_t limit) {
    BoundedRead read;
    std::ifstream in(path, std::ios::binary);
    if (!in) return read;
    constexpr size_t kStep = 65536;
    // A vector, whose reserve is exact: the capacity never passes the bound.
    std::vector<char> bytes;
    while (bytes.size() <= limit) {
        const size_t want = std::min(kStep, limit + 1 - bytes.size());
        const size_t had = bytes.size();
        if (bytes.capacity() < had + want) bytes.reserve(std::min(limit + 1, std::max(had + want, 2 * had)));
        bytes.resize(had + want);
        in.read(bytes.data() + had, static_cast<std::streamsize>(want));
        bytes.resize(had + static_cast<size_t>(in.gcount()));
        if (in.bad()) return read;
        if (in.eof()) break;
    }
    if (bytes.size() > limit) {
        read.result = BoundedReadResult::kTooLarge;
        return read;
    }
    read.result = BoundedReadResult::kRead;
    read.bytes.assign(bytes.begin(), bytes.end());
    return read;
}

bool AppendToFile(const std::string& path, std::string_view text) {
    std::FILE* file = std::fopen(path.c_str(), "a+");
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return (std::fclose(file) == 0) && written;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    thread_local std::mt19937 random{std::random_device{}()};
    const std::string temporary = path + ".tmp" + std::to_string(random() % 1000000u);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (std::fflush(file) == 0) && ok;
    ok = (::fsync(::fileno(file)) == 0) && ok;
    ok = (std::fclose(file) == 0) && ok;
    if (ok) ok = std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temporary.c_str());
    return ok;
}

bool DeleteFileAt(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::optional<uint64_t> FileSize(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) return std::nullopt;
    return static_cast<uint64_t>(size);
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string joined(folder);
    while (!joined.empty() && joined.back() == '/' && joined.size() > 1) joined.pop_back();
    while (!name.empty() && name.front() == '/') name.remove_prefix(1);
    if (joined.empty()) return std::string(name);
    if (joined.back() != '/') joined += '/';
    joined += name;
    return joined;
}

std::string ParentPath(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string FileNameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool EndsWithSeparator(std::string_view path) { return !path.empty() && path.back() == '/'; }

std::string TemporaryFolder() {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return "/tmp";
}

}  // namespace veldmoor::platform
