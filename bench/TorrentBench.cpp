// Piece-map throughput: SHA-1 checking of pieces as their blocks arrive, and
// the check of existing data at start-up.
//
// VELDMOOR_BENCH_FILE names an existing file for the start-up check (so that
// other tools can be measured on the same bytes); without it a 1 GiB file is
// made in the temporary folder and deleted afterwards.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ClockThread.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "torrent/IPieceMapOwner.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

constexpr int64_t kPieceLength = 524288;
constexpr int64_t kCheckFileLength = int64_t{1} << 30;

using BenchOwner = DetachedPieceMapOwner;

struct MapRelease {
    void operator()(TPieces* map) const { ReleaseRef(map); }
};
using MapPtr = std::unique_ptr<TPieces, MapRelease>;

std::string Bencoded(const std::string& bytes) { return std::to_string(bytes.size()) + ":" + bytes; }

std::string SingleFileTorrent(int64_t length, const std::string& hashes) {
    return "d4:infod6:lengthi" + std::to_string(length) + "e4:name" + Bencoded("bench.bin") + "12:piece lengthi" +
           std::to_string(kPieceLength) + "e6:pieces" + Bencoded(hashes) + "ee";
}

// Fast deterministic filler (xorshift64*), good enough for hashing.
void FillPseudoRandom(char* out, size_t length, uint64_t seed) {
    uint64_t state = seed | 1;
    for (size_t at = 0; at < length; at += 8) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const uint64_t value = state * 2685821657736338717ULL;
        for (size_t i = 0; i < 8 && at + i < length; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
    }
}

std::string PieceHashesOf(const char* data, int64_t length) {
    std::string hashes;
    for (int64_t at = 0; at < length; at += kPieceLength) {
        const Sha1Digest digest = Sha1Of(data + at, static_cast<size_t>(std::min(kPieceLength, length - at)));
        hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    return hashes;
}

MapPtr LoadMap(BenchOwner& owner, const std::string& torrent) {
    MapPtr map(new TPieces(&owner));
    map->Torrent()->SetTorrentBytes(torrent);
    map->Torrent()->Load();
    return map;
}

// Whole 512 KiB pieces arriving block by block, each checked in memory.
void BM_WriteBlockPieceCheck(benchmark::State& state) {
    constexpr int64_t kPieces = 64;
    const std::string folder = platform::TemporaryFolder() + "/veldmoor-bench-write";
    platform::CreateDirectories(folder);
    std::string content(static_cast<size_t>(kPieces * kPieceLength), '\0');
    FillPseudoRandom(content.data(), content.size(), 7);
    const std::string torrent =
        SingleFileTorrent(kPieces * kPieceLength, PieceHashesOf(content.data(), kPieces * kPieceLength));
    BenchOwner owner(folder);
    MapPtr map = LoadMap(owner, torrent);

    const int64_t blocksPerPiece = kPieceLength / kBlockSize;
    int64_t piece = 0;
    for (auto _ : state) {
        if (piece == kPieces) {
            state.PauseTiming();
            map = LoadMap(owner, torrent);  // a fresh map: every piece wanted again
            piece = 0;
            state.ResumeTiming();
        }
        for (int64_t block = piece * blocksPerPiece; block < (piece + 1) * blocksPerPiece; ++block) {
            const int result = map->WriteBlock(block, kBlockSize, content.data() + block * kBlockSize, nullptr);
            if (result != kBlockSize) state.SkipWithError("a block was refused");
        }
        ++piece;
    }
    state.SetBytesProcessed(state.iterations() * kPieceLength);
    map.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(BM_WriteBlockPieceCheck)->Unit(benchmark::kMillisecond);

// The start-up check of a 1 GiB file that is already complete on disk.
void BM_FullCheckOneGiB(benchmark::State& state) {
    const char* given = std::getenv("VELDMOOR_BENCH_FILE");
    const bool ownFile = !given || !*given;
    const std::string path = ownFile ? platform::TemporaryFolder() + "/veldmoor-bench-1g.bin" : given;

    std::string hashes;
    int64_t length = 0;
    {
        platform::File file;
        if (ownFile) {
            if (!file.Open(path, platform::File::Mode::ReadWrite)) return state.SkipWithError("cannot create the file");
            std::string chunk(static_cast<size_t>(64 * kPieceLength), '\0');
            for (int64_t at = 0; at < kCheckFileLength; at += static_cast<int64_t>(chunk.size())) {
                FillPseudoRandom(chunk.data(), chunk.size(), static_cast<uint64_t>(at) + 11);
                file.WriteAt(at, chunk.data(), static_cast<int64_t>(chunk.size()));
            }
        } else if (!file.Open(path, platform::File::Mode::Read)) {
            return state.SkipWithError("cannot open VELDMOOR_BENCH_FILE");
        }
        length = file.Size().value_or(0);
        std::string piece(static_cast<size_t>(kPieceLength), '\0');
        for (int64_t at = 0; at < length; at += kPieceLength) {
            const int64_t size = std::min(kPieceLength, length - at);
            file.ReadAt(at, piece.data(), size);
            const Sha1Digest digest = Sha1Of(piece.data(), static_cast<size_t>(size));
            hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        }
    }

    BenchOwner owner(platform::ParentPath(path), path);
    MapPtr map = LoadMap(owner, SingleFileTorrent(length, hashes));
    if (!map->IsComplete()) state.SkipWithError("the first check did not find the file complete");
    for (auto _ : state) {
        if (!map->FullCheck()) state.SkipWithError("the check found bad pieces");
    }
    state.SetBytesProcessed(state.iterations() * length);
    map.reset();
    if (ownFile) platform::DeleteFileAt(path);
}
BENCHMARK(BM_FullCheckOneGiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace veldmoor

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    veldmoor::TimeStop();
    return 0;
}
