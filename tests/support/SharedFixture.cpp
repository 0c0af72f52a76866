#include "tests/support/SharedFixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Files.h"
#include "platform/SingleInstanceLock.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

// Long enough for another process to make a 256 MiB file on a loaded machine.
constexpr std::chrono::minutes kMakeWait{5};

}  // namespace

std::string SharedFixtureFile(const std::string& name, const std::function<std::string()>& make) {
    const std::filesystem::path folder(VELDMOOR_FIXTURE_CACHE);
    const std::filesystem::path path = folder / name;
    std::error_code error;
    if (std::filesystem::exists(path, error)) return path.string();
    std::filesystem::create_directories(folder, error);
    platform::FileLock lock;
    if (!lock.Acquire(path.string() + ".lock", kMakeWait)) return {};
    if (std::filesystem::exists(path, error)) return path.string();
    const std::filesystem::path part = path.string() + ".part" + std::to_string(platform::CurrentProcessId());
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        const std::string bytes = make();
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) return {};
    }
    std::filesystem::rename(part, path, error);
    return error ? std::string() : path.string();
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
