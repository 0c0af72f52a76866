#include "tests/support/SharedFixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/Files.h"
#include "platform/SingleInstanceLock.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

// Long enough for another process to make a 256 MiB file on a loaded machine.
constexpr std::chrono::minutes kMakeWait{5};
// The stamp hashes this much from the start, the middle and the end of a file.
constexpr size_t kSampleBytes = 4096;

uint64_t Fnv1a(std::string_view bytes, uint64_t hash) {
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// What a cached file must still be to be reused: its size, its modification
// time (a test writing through a hard-linked copy changes it) and a hash of
// three samples of its bytes. Empty when the file cannot be read.
std::string StampOf(const std::filesystem::path& path) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return {};
    const auto written = std::filesystem::last_write_time(path, error);
    if (error) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    uint64_t hash = 14695981039346656037ull;
    std::string sample(kSampleBytes, '\0');
    for (const uintmax_t at : {uintmax_t{0}, size / 2, size > kSampleBytes ? size - kSampleBytes : 0}) {
        in.seekg(static_cast<std::streamoff>(at));
        in.read(sample.data(), static_cast<std::streamsize>(sample.size()));
        hash = Fnv1a(std::string_view(sample.data(), static_cast<size_t>(in.gcount())), hash);
        in.clear();
    }
    return std::to_string(size) + " " + std::to_string(written.time_since_epoch().count()) + " " +
           std::to_string(hash) + "\n";
}

std::filesystem::path StampPath(const std::filesystem::path& path) { return path.string() + ".stamp"; }

// A cached file is reused only when it is the whole file once written: a run
// killed mid-write, a truncated or an altered file fails its stamp.
bool IsIntact(const std::filesystem::path& path) {
    const std::optional<std::string> stamp = platform::ReadWholeFile(StampPath(path).string());
    return stamp && !stamp->empty() && *stamp == StampOf(path);
}

// Writes `bytes` to `path` through a temporary name renamed into place, so
// no reader ever sees part of it.
bool WriteAtomically(const std::filesystem::path& path, const std::string& bytes) {
    const std::filesystem::path part = path.string() + ".part" + std::to_string(platform::CurrentProcessId());
    std::error_code error;
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out || std::filesystem::file_size(part, error) != bytes.size() || error) {
            std::filesystem::remove(part, error);
            return false;
        }
    }
    std::filesystem::rename(part, path, error);
    if (error) std::filesystem::remove(part, error);
    return !error;
}

}  // namespace

std::string SharedFixtureFile(const std::string& name, const std::function<std::string()>& make) {
    const std::filesystem::path folder(VELDMOOR_FIXTURE_CACHE);
    const std::filesystem::path path = folder / name;
    if (IsIntact(path)) return path.string();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    platform::FileLock lock;
    if (!lock.Acquire(path.string() + ".lock", kMakeWait)) return {};
    if (IsIntact(path)) return path.string();
    // The stamp goes first: a run killed from here on leaves a file without one.
    std::filesystem::remove(StampPath(path), error);
    if (!WriteAtomically(path, make())) return {};
    const std::string stamp = StampOf(path);
    if (stamp.empty() || !WriteAtomically(StampPath(path), stamp)) return {};
    return path.string();
}

std::string SharedPatternFile(size_t size, uint32_t seed) {
    return SharedFixtureFile("pattern-" + std::to_string(size) + "-" + std::to_string(seed) + ".bin",
                             [&] { return PatternBytes(size, seed); });
}

std::string SharedPatternTorrent(const std::string& fileName, size_t size, uint32_t seed, int64_t pieceLength) {
    const std::string name = "pattern-" + std::to_string(size) + "-" + std::to_string(seed) + "-" +
                             std::to_string(pieceLength) + "-" + fileName + ".torrent";
    const std::string path = SharedFixtureFile(name, [&] {
        return SingleFileTorrent(fileName, platform::ReadWholeFile(SharedPatternFile(size, seed)).value_or(""), pieceLength);
    });
    return platform::ReadWholeFile(path).value_or("");
}

std::string SharedPatternMd5(size_t size, uint32_t seed) {
    const std::string name = "pattern-" + std::to_string(size) + "-" + std::to_string(seed) + ".md5";
    return platform::ReadWholeFile(SharedFixtureFile(name, [&] { return Md5OfFile(SharedPatternFile(size, seed)); }))
        .value_or("");
}

bool PlaceSharedFixture(const std::string& shared, const std::string& path) {
    if (shared.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::filesystem::remove(path, error);
    std::filesystem::create_hard_link(shared, path, error);
    if (!error) return true;
    return std::filesystem::copy_file(shared, path, error) && !error;
}

}  // namespace veldmoor::test
