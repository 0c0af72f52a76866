// The controller's own costs: the installer's MD5 pass (4096-byte reads, as
// verification does them) and one task-file write (read, change, temporary
// copy, fsync, rename), which the poll may do ten times a second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/FileDigest.h"
#include "app/IniFile.h"

namespace {

std::string TempPath(const char* name) {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder ? folder : "/tmp") + "/" + name;
}

void BM_FileMd5(benchmark::State& state) {
    const std::string path = TempPath("veldmoor-bench-md5.bin");
    const auto size = static_cast<size_t>(state.range(0));
    {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
        std::ofstream file(path, std::ios::binary);
        for (size_t written = 0; written < size; written += block.size())
            file.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
    }
    uint32_t last = 0;
    for (auto _ : state) benchmark::DoNotOptimize(veldmoor::FileMd5(path, [&](uint32_t p) { last = p; }));
    benchmark::DoNotOptimize(last);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    std::remove(path.c_str());
}
BENCHMARK(BM_FileMd5)->Arg(256 << 20)->Unit(benchmark::kMillisecond);

void BM_TaskFileWrite(benchmark::State& state) {
    const std::string path = TempPath("veldmoor-bench-task.vmconf");
    veldmoor::IniWriteValues(path, "VeldmoorTask",
                             {{"VeldmoorTaskHash", "8254da9cec9275c60eec44c768215e4f"},
                              {"VeldmoorTaskCreateTime", "2026-12-10 10:00:00"},
                              {"VeldmoorTaskSavePath", "/home/user/Downloads/EH1115"}});
    uint64_t size = 0;
    for (auto _ : state) {
        size += 16384;
        veldmoor::IniWriteValues(path, "VeldmoorTask",
                                 {{"VeldmoorTaskLastSizeHigh", "0"}, {"VeldmoorTaskLastSizeLow", std::to_string(size)}});
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_TaskFileWrite)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
