// Feeds arbitrary bytes to the reader of a router's device description (the
// first line is the description's address, the rest the document). Beyond the
// sanitizers' checks, it traps when a property read from a document is longer
// than the document and the address together could make it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netenv/DeviceInformation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    const std::string url = lineEnd == std::string::npos ? std::string() : input.substr(0, lineEnd);
    const std::string document = lineEnd == std::string::npos ? input : input.substr(lineEnd + 1);

    veldmoor::DeviceDescription description;
    const bool parsed = description.Parse(document, url);
    // Fixed texts (counts, "This is a topmost device") are short; everything
    // else comes from the document, joined at most with the address.
    const std::size_t limit = 2 * (document.size() + url.size()) + 64;
    for (std::size_t i = 0; i < veldmoor::kDevicePropertyCount; ++i) {
        const std::string text = description.Property(static_cast<veldmoor::DeviceProperty>(i));
        if (text.size() > limit) std::abort();
        if (!parsed && !text.empty()) std::abort();
    }
    return 0;
}
