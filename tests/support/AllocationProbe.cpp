#include "tests/support/AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> g_probes{0};
std::atomic<size_t> g_largest{0};

void* Allocate(size_t size) {
    if (g_probes.load(std::memory_order_relaxed) > 0) {
        size_t seen = g_largest.load(std::memory_order_relaxed);
        while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
        }
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) throw std::bad_alloc();
    return block;
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }

namespace veldmoor::test {

AllocationProbe::AllocationProbe() {
    if (g_probes.fetch_add(1) == 0) g_largest.store(0);
}

AllocationProbe::~AllocationProbe() { g_probes.fetch_sub(1); }

size_t AllocationProbe::Largest() const { return g_largest.load(); }

}  // namespace veldmoor::test
