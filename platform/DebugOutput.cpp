#include "platform/DebugOutput.h"

#include <ctime>
#include <unistd.h>

namespace veldmoor::platform {

void WriteDebugOutput(std::string_view text) {
    // One write call per line keeps lines of different threads apart.
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

std::string FormatLocalTime(const char* format, int64_t calendarSeconds) {
    const auto seconds = static_cast<time_t>(calendarSeconds);
    tm local{};
    if (!::localtime_r(&seconds, &local)) return {};
    char text[128];
    const size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

}  // namespace veldmoor::platform
