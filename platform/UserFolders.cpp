#include "platform/UserFolders.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/Clock.h"

namespace veldmoor::platform {
namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFolder() {
    const std::string home = Environment("HOME");
    return home.empty() ? "/" : home;
}

// The first line printed by xdg-user-dir, "" when it is missing or fails.
std::string AskXdgUserDir(const char* kind) {
    const std::string command = std::string("xdg-user-dir ") + kind + " 2>/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    char line[4096] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    if (!read) return {};
    std::string folder(line);
    while (!folder.empty() && (folder.back() == '\n' || folder.back() == '\r')) folder.pop_back();
    return folder;
}

}  // namespace

std::string UserDataFolder() {
    const std::string data = Environment("XDG_DATA_HOME");
    if (!data.empty() && data.front() == '/') return data;
    return HomeFolder() + "/.local/share";
}

std::string UserDownloadFolder() {
    std::error_code error;
    const std::string home = HomeFolder();
    // xdg-user-dir answers the home folder itself when nothing is configured.
    const std::string asked = AskXdgUserDir("DOWNLOAD");
    if (!asked.empty() && asked != home && std::filesystem::is_directory(asked, error)) return asked;
    const std::string downloads = home + "/Downloads";
    if (std::filesystem::is_directory(downloads, error)) return downloads;
    return home;
}

std::string CurrentFolder() {
    char buffer[4096];
    return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

std::string LocalTimeText(const char* format) {
    const std::time_t now = static_cast<std::time_t>(CalendarSeconds());
    std::tm local {};
    ::localtime_r(&now, &local);
    char text[128];
    const size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

}  // namespace veldmoor::platform
