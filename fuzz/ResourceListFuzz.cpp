// The resource list comes from a server: any bytes must parse to a list (or
// nothing) without a crash, and every mirror must be one clean line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/ResourceList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string document(reinterpret_cast<const char*>(data), size);
    for (const bool skip : {false, true}) {
        const veldmoor::ResourceList list = veldmoor::ParseResourceList(document, "http://a/b.exe", skip);
        for (const veldmoor::ResourceMirror& mirror : list.mirrors) {
            if (mirror.url.find_first_of("\r\n") != std::string::npos) std::abort();
            if (skip) std::abort();
        }
    }
    return 0;
}
