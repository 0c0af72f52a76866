#include "reporting/SystemInfo.h"

#include <cstdio>
#include <cstdlib>
#include <openssl/hmac.h>
#include <set>

#include <json/writer.h>

#include "platform/SystemFacts.h"

namespace veldmoor::reporting {
namespace {

// This program's key for deriving its identifier from the installation's.
constexpr uint8_t kApplicationKey[16] = {0xe2, 0x81, 0xc1, 0x80, 0x26, 0xee, 0x47, 0xdc,
                                         0xa6, 0x2b, 0x51, 0x9c, 0xe1, 0x04, 0x48, 0xea};

std::vector<std::string> NumberParts(const std::string& text, size_t count) {
    std::vector<std::string> parts;
    size_t position = 0;
    while (parts.size() < count) {
        size_t end = position;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        parts.push_back(end > position ? std::to_string(std::strtoul(text.substr(position, end - position).c_str(), nullptr, 10)) : "0");
        if (end >= text.size() || text[end] != '.') {
            position = text.size();
        } else {
            position = end + 1;
        }
    }
    return parts;
}

std::string LanguageDigit(const std::string& language) {
    static const std::set<std::string> kWestern = {"", "en", "de", "fr", "es", "it", "pt", "nl", "da", "sv", "nb", "nn", "no",
                                                   "fi", "is", "ga", "ca", "eu", "gl", "af", "sq", "id", "ms", "sw"};
    if (language == "zh") return "0";
    return kWestern.contains(language) ? "1" : "2";
}

std::string ProcessorArchitecture(const std::string& machine) {
    if (machine == "x86_64") return "x64";
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "x86";
    if (machine == "ia64") return "Itanium-based systems";
    if (machine.rfind("ppc", 0) == 0) return "PowerPC";
    if (machine.rfind("mips", 0) == 0) return "MIPS";
    if (machine == "alpha") return "Alpha";
    return machine;
}

Json::Value DescribeProcessors(const std::string& machine) {
    Json::Value list(Json::arrayValue);
    for (const auto& facts : platform::Processors()) {
        Json::Value processor(Json::objectValue);
        processor["CPU_Name"] = facts.modelName;
        processor["CPU_Manufacturer"] = facts.vendor;
        processor["CPU_Type"] = "Central Processor";
        processor["CPU_Architecture"] = ProcessorArchitecture(machine);
        list.append(processor);
    }
    Json::Value block(Json::objectValue);
    block["CPU"] = list;
    return block;
}

Json::Value DescribeMemory() {
    Json::Value block(Json::objectValue);
    // Module details need the firmware tables, which only root may read.
    block["Memory"] = Json::Value(Json::arrayValue);
    const uint64_t total = platform::TotalMemoryBytes();
    block["Memory_Total_Capacity"] = total == 0 ? std::string() : std::to_string(total);
    return block;
}

Json::Value DescribeVideoCards() {
    Json::Value list(Json::arrayValue);
    for (const auto& facts : platform::VideoCards()) {
        Json::Value card(Json::objectValue);
        card["Video_Card_Name"] = facts.name;
        card["Video_Card_Memory_Capacity"] = facts.memoryBytes == 0 ? std::string() : std::to_string(facts.memoryBytes);
        card["Video_Card_Driver_Version"] = facts.driverVersion;
        list.append(card);
    }
    Json::Value block(Json::objectValue);
    block["Video_Card"] = list;
    return block;
}

SystemDescription ReadThisSystem() {
    SystemDescription system;
    const platform::KernelFacts kernel = platform::Kernel();
    system.machineId = MachineIdFrom(platform::MachineIdentifierText());
    system.adapterAddresses = FormatAdapterAddresses(platform::AdapterHardwareAddresses());
    system.osDescriptor = OsDescriptor(kernel.release, platform::OsReleaseValue("VERSION_ID"), kernel.machine,
                                       platform::LocaleLanguage());
    system.processor = DescribeProcessors(kernel.machine);
    system.memory = DescribeMemory();
    system.videoCard = DescribeVideoCards();
    return system;
}

}  // namespace

const SystemDescription& ThisSystem() {
    static const SystemDescription system = ReadThisSystem();
    return system;
}

std::string MachineIdFrom(const std::string& installationId) {
    if (installationId.size() != 32) return std::string(16, '0');
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), installationId.data(), static_cast<int>(installationId.size()), kApplicationKey,
              sizeof kApplicationKey, digest, &length) ||
        length < 8)
        return std::string(16, '0');
    char text[17];
    for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", digest[i]);
    return std::string(text, 16);
}

std::string FormatAdapterAddresses(const std::vector<std::array<uint8_t, 6>>& addresses) {
    std::string text;
    for (const auto& address : addresses) {
        char one[18];
        std::snprintf(one, sizeof one, "%02x-%02x-%02x-%02x-%02x-%02x", address[0], address[1], address[2], address[3],
                      address[4], address[5]);
        if (!text.empty()) text += ';';
        text += one;
    }
    return text;
}

std::string OsDescriptor(const std::string& kernelRelease, const std::string& distributionVersion,
                         const std::string& machine, const std::string& language) {
    const auto kernel = NumberParts(kernelRelease, 2);
    const auto distribution = NumberParts(distributionVersion, 2);
    const bool wide = machine == "x86_64" || machine == "aarch64" || machine == "ia64" || machine == "ppc64le" ||
                      machine == "riscv64" || machine == "s390x";
    return kernel[0] + kernel[1] + distribution[0] + distribution[1] + (wide ? "64" : "32") + LanguageDigit(language);
}

std::string MachineIdNoticeText(const std::string& machineId) {
    if (machineId.size() < 16) return {};
    return "0x" + machineId.substr(0, 8) + ", 0x" + machineId.substr(machineId.size() - 8);
}

std::string InformationObjectText(const SystemDescription& system, uint32_t hardwareFlags, const std::string& sessionId) {
    Json::Value information(Json::objectValue);
    if (hardwareFlags & kHardwareProcessor) information["CPU"] = system.processor;
    if (hardwareFlags & kHardwareMemory) information["Memory"] = system.memory;
    if (hardwareFlags & kHardwareVideoCard) information["Video_Card"] = system.videoCard;
    information["MachId"] = system.machineId;
    information["Mac"] = system.adapterAddresses;
    information["OS"] = system.osDescriptor;
    information["Sessionid"] = sessionId;
    Json::FastWriter writer;
    return writer.write(information);
}

}  // namespace veldmoor::reporting
