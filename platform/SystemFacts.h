#pragma once
// What the machine says about itself: its identifier, network adapters,
// kernel and distribution, processor, memory and video cards. Each reader
// returns empty values when the system does not offer the fact.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace veldmoor::platform {

// The installation's identifier as 32 hex digits ("" when none is set).
std::string MachineIdentifierText();

// The hardware addresses of the network adapters in interface-index order;
// loopback and all-zero addresses are left out.
std::vector<std::array<uint8_t, 6>> AdapterHardwareAddresses();

struct KernelFacts {
    std::string release;  // "6.1.0-18-amd64"
    std::string machine;  // "x86_64"
};
KernelFacts Kernel();

// A value of the distribution's os-release file ("VERSION_ID", "ID"), unquoted.
std::string OsReleaseValue(const std::string& key);

// The language part of the locale the user runs ("zh", "en"; "" for C/POSIX).
std::string LocaleLanguage();

struct ProcessorFacts {
    std::string modelName;
    std::string vendor;
};
// One entry per physical package.
std::vector<ProcessorFacts> Processors();

uint64_t TotalMemoryBytes();

struct VideoCardFacts {
    std::string name;           // driver and PCI ids, "amdgpu 1002:73bf"
    uint64_t memoryBytes = 0;   // 0 when the driver does not say
    std::string driverVersion;  // the driver module's version, else the kernel's
};
std::vector<VideoCardFacts> VideoCards();

}  // namespace veldmoor::platform
