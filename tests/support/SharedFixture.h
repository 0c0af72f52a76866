#pragma once
// Large fixtures made once for every test process of a build instead of once
// per test: ctest runs each test in a process of its own, and making 256 MiB
// and hashing it every time is most of such a test's run.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace veldmoor::test {

// The path of cached file `name` in the build's fixture folder. The first
// process to need it writes `make()` under a lock, to a temporary name renamed
// into place, so no process ever sees half a file and a crash leaves none; a
// stamp beside it (size, modification time, sampled bytes) must still match
// before the file is reused, else it is made again. Callers treat the file as
// read-only: others share it. Empty when the file could not be made.
std::string SharedFixtureFile(const std::string& name, const std::function<std::string()>& make);

// A cached file holding PatternBytes(size, seed).
std::string SharedPatternFile(size_t size, uint32_t seed);

// The torrent (no tracker) of one file `fileName` holding that pattern, and
// the pattern's MD5 in lower-case hex: their bytes, made once as well.
std::string SharedPatternTorrent(const std::string& fileName, size_t size, uint32_t seed, int64_t pieceLength);
std::string SharedPatternMd5(size_t size, uint32_t seed);

// Puts a shared fixture at `path` (its folder created): a hard link when the
// file system allows, a copy otherwise. False when neither worked.
bool PlaceSharedFixture(const std::string& shared, const std::string& path);

}  // namespace veldmoor::test
