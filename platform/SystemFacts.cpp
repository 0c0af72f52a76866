#include "platform/SystemFacts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <optional>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/Files.h"

namespace veldmoor::platform {
namespace {

std::string Trimmed(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

std::string FirstLineOf(const std::string& path) {
    const auto text = ReadWholeFile(path);
    if (!text) return {};
    return Trimmed(std::string_view(*text).substr(0, text->find('\n')));
}

std::vector<std::string> EntriesOf(const std::string& folder) {
    std::vector<std::string> names;
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

bool ParseHardwareAddress(const std::string& text, std::array<uint8_t, 6>& address) {
    if (text.size() != 17) return false;
    for (size_t i = 0; i < 6; ++i) {
        char* end = nullptr;
        const std::string part = text.substr(i * 3, 2);
        const unsigned long value = std::strtoul(part.c_str(), &end, 16);
        if (end != part.c_str() + 2) return false;
        address[i] = static_cast<uint8_t>(value);
    }
    return true;
}

// "key : value" lines of a /proc file, one map per blank-line separated block.
std::vector<std::map<std::string, std::string>> ProcBlocks(const std::string& path) {
    std::vector<std::map<std::string, std::string>> blocks(1);
    const auto text = ReadWholeFile(path);
    if (!text) return {};
    size_t position = 0;
    while (position < text->size()) {
        size_t end = text->find('\n', position);
        if (end == std::string::npos) end = text->size();
        const std::string_view line(text->data() + position, end - position);
        position = end + 1;
        const size_t colon = line.find(':');
        if (Trimmed(line).empty()) {
            if (!blocks.back().empty()) blocks.emplace_back();
        } else if (colon != std::string_view::npos) {
            blocks.back()[Trimmed(line.substr(0, colon))] = Trimmed(line.substr(colon + 1));
        }
    }
    if (blocks.back().empty()) blocks.pop_back();
    return blocks;
}

std::optional<std::string> ReadSymbolicLink(const std::string& path) {
    char target[4096];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return std::nullopt;
    return std::string(target, static_cast<size_t>(length));
}

}  // namespace

std::string MachineIdentifierText() {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::string text = FirstLineOf(path);
        if (text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
            return text;
    }
    return {};
}

std::vector<std::array<uint8_t, 6>> AdapterHardwareAddresses() {
    std::vector<std::pair<long, std::array<uint8_t, 6>>> found;
    for (const std::string& name : EntriesOf("/sys/class/net")) {
        const std::string folder = "/sys/class/net/" + name;
        if (FirstLineOf(folder + "/type") == "772") continue;  // loopback
        std::array<uint8_t, 6> address{};
        if (!ParseHardwareAddress(FirstLineOf(folder + "/address"), address)) continue;
        if (std::all_of(address.begin(), address.end(), [](uint8_t b) { return b == 0; })) continue;
        found.emplace_back(std::strtol(FirstLineOf(folder + "/ifindex").c_str(), nullptr, 10), address);
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::array<uint8_t, 6>> addresses;
    for (const auto& entry : found) addresses.push_back(entry.second);
    return addresses;
}

KernelFacts Kernel() {
    utsname names{};
    if (::uname(&names) != 0) return {};
    return {names.release, names.machine};
}

std::string OsReleaseValue(const std::string& key) {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        const auto text = ReadWholeFile(path);
        if (!text) continue;
        size_t position = 0;
        while (position < text->size()) {
            size_t end = text->find('\n', position);
            if (end == std::string::npos) end = text->size();
            const std::string line = Trimmed(std::string_view(*text).substr(position, end - position));
            position = end + 1;
            if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
        return {};
    }
    return {};
}

std::string LocaleLanguage() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string locale = value;
        if (locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0) return {};
        return locale.substr(0, locale.find_first_of("_.@"));
    }
    return {};
}

std::vector<ProcessorFacts> Processors() {
    std::map<std::string, ProcessorFacts> packages;
    for (auto& block : ProcBlocks("/proc/cpuinfo")) {
        if (!block.contains("processor")) continue;
        const std::string package = block.contains("physical id") ? block["physical id"] : block["processor"];
        if (packages.contains(package)) continue;
        ProcessorFacts facts;
        facts.modelName = block.contains("model name") ? block["model name"] : block["Model"];
        facts.vendor = block.contains("vendor_id") ? block["vendor_id"] : block["CPU implementer"];
        packages.emplace(package, facts);
    }
    std::vector<ProcessorFacts> processors;
    for (auto& entry : packages) processors.push_back(entry.second);
    return processors;
}

uint64_t TotalMemoryBytes() {
    const auto blocks = ProcBlocks("/proc/meminfo");
    if (blocks.empty()) return 0;
    const auto found = blocks.front().find("MemTotal");
    if (found == blocks.front().end()) return 0;
    return std::strtoull(found->second.c_str(), nullptr, 10) * 1024;  // the file counts KiB
}

std::vector<VideoCardFacts> VideoCards() {
    std::vector<VideoCardFacts> cards;
    for (const std::string& name : EntriesOf("/sys/class/drm")) {
        // card0, card1 ...; connectors ("card0-HDMI-A-1") and render nodes are not cards.
        if (name.rfind("card", 0) != 0 || name.find('-') != std::string::npos) continue;
        const std::string device = "/sys/class/drm/" + name + "/device";
        VideoCardFacts card;
        std::string driver;
        if (const auto link = ReadSymbolicLink(device + "/driver")) driver = FileNameOf(*link);
        const auto hexId = [](std::string id) { return id.rfind("0x", 0) == 0 ? id.substr(2) : id; };
        card.name = driver + " " + hexId(FirstLineOf(device + "/vendor")) + ":" + hexId(FirstLineOf(device + "/device"));
        card.memoryBytes = std::strtoull(FirstLineOf(device + "/mem_info_vram_total").c_str(), nullptr, 10);
        card.driverVersion = driver.empty() ? std::string() : FirstLineOf("/sys/module/" + driver + "/version");
        if (card.driverVersion.empty()) card.driverVersion = Kernel().release;
        cards.push_back(card);
    }
    return cards;
}

}  // namespace veldmoor::platform
