#include "tools/veldmoor-get/TaskSetup.h"

#include <algorithm>
#include <cstring>

namespace veldmoor {
namespace {

constexpr const char* kFileScheme = "file://";

// The command line has checked the length; the field stays NUL-terminated anyway.
void CopyField(char (&field)[kPathCapacity], const std::string& text) {
    const size_t length = std::min(text.size(), sizeof field - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

}  // namespace

uint32_t TaskFlagsFor(const GetOptions& options) {
    uint32_t flags = kTaskTargetIsFile | kTaskSwitch20;
    if (!options.torrent.empty()) flags |= options.urls.empty() ? kTaskBitTorrent : kTaskP2sp;
    return flags;
}

std::string SourceTextFor(const GetOptions& options) {
    return options.torrent.empty() ? std::string() : kFileScheme + options.torrent;
}

std::string SourceListFor(const GetOptions& options) {
    std::string list;
    // A BitTorrent task finds its torrent on the first line; the job reads it
    // from the source text, so both name the same file.
    if ((TaskFlagsFor(options) & kTaskBitTorrent) != 0) list = SourceTextFor(options) + "\n";
    for (const std::string& url : options.urls) list += url + "\n";
    return list;
}

void FillTaskDescriptor(const GetOptions& options, const std::string& sourceList, TaskDescriptor& descriptor) {
    descriptor = TaskDescriptor{};
    CopyField(descriptor.sourceText, SourceTextFor(options));
    descriptor.sourceList = sourceList.c_str();
    CopyField(descriptor.target, options.output);
    CopyField(descriptor.stateFileBase, options.stateFile);
    descriptor.flags = TaskFlagsFor(options);
}

ProxySettings ProxySettingsFor(const ProxyOption& proxy) {
    ProxySettings settings;
    settings.kind = proxy.kind;
    settings.host = proxy.host.c_str();
    settings.port = proxy.port;
    settings.remoteResolve = proxy.remoteResolve;
    settings.userName = proxy.userName.c_str();
    settings.password = proxy.password.c_str();
    return settings;
}

}  // namespace veldmoor
