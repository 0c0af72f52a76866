#pragma once
// Records the largest single heap allocation made while a probe is alive, so
// that a memory bound is checked by what the code asks for, not by timing.
// Link AllocationProbe.cpp into one test binary only: it replaces the global
// operator new.
#include <cstddef>

namespace veldmoor::test {

class AllocationProbe {
public:
    AllocationProbe();
    ~AllocationProbe();
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    // The largest single request since the probe was made, in bytes.
    size_t Largest() const;
};

}  // namespace veldmoor::test
