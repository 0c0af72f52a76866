// The task file and the statistics configuration are INI texts read from
// disk: any bytes must read without a crash, and a value written must read
// back as written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool found = false;
    (void)veldmoor::IniTextRead(text, "VeldmoorTask", "VeldmoorTaskSavePath", &found);
    const std::string written = veldmoor::IniTextWrite(text, "VeldmoorTask", "VeldmoorTaskDownloadTime", "42");
    found = false;
    if (veldmoor::IniTextRead(written, "VeldmoorTask", "VeldmoorTaskDownloadTime", &found) != "42" || !found)
        std::abort();
    return 0;
}
