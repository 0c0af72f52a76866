#include "tools/veldmoor-get/OutputChecks.h"

#include "engine/TaskApi.h"
#include "platform/Files.h"

namespace veldmoor {

std::optional<std::string> OutputProblem(const GetOptions& options) {
    if (platform::DirectoryExists(options.output))
        return "-o names a folder (" + options.output + "); give the path of the file to write";
    if (!options.torrent.empty()) {
        // An unreadable torrent is left to the engine, which reports it as a bad torrent.
        const int files = TorrentFileCount(options.torrent.c_str());
        if (files > 1)
            return "the torrent lists " + std::to_string(files) +
                   " files; veldmoor-get writes one file (-o) and takes single-file torrents only";
    }
    return std::nullopt;
}

std::string OutputLockPath(const std::string& output) { return output + ".vmlock"; }

}  // namespace veldmoor
