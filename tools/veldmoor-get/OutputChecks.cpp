#include "tools/veldmoor-get/OutputChecks.h"

#include <memory>

#include "platform/Files.h"
#include "torrent/Bencode.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {

// The number of files a torrent lists; 1 for a single-file torrent and for
// anything unreadable (the engine then reports it as a bad torrent).
int TorrentFileCount(const std::string& path) {
    const platform::BoundedRead read = platform::ReadFileUpTo(path, kMaxTorrentFileBytes);
    if (read.result != platform::BoundedReadResult::kRead || read.bytes.empty()) return 1;
    const std::unique_ptr<QElement> root = ParseElement(read.bytes.data(), static_cast<int>(read.bytes.size()));
    if (!root || root->GetKind() != kElementDictionary) return 1;
    const QElement* info = root->GetValue("info");
    if (!info || info->GetKind() != kElementDictionary) return 1;
    const QElement* files = info->GetValue("files");
    if (!files || info->GetValue("length")) return 1;
    return files->GetKind() == kElementList ? files->GetCount() : 1;
}

}  // namespace

std::optional<std::string> OutputProblem(const GetOptions& options) {
    if (platform::DirectoryExists(options.output))
        return "-o names a folder (" + options.output + "); give the path of the file to write";
    if (!options.torrent.empty()) {
        const int files = TorrentFileCount(options.torrent);
        if (files > 1)
            return "the torrent lists " + std::to_string(files) +
                   " files; veldmoor-get writes one file (-o) and takes single-file torrents only";
    }
    return std::nullopt;
}

std::string OutputLockPath(const std::string& output) { return output + ".vmlock"; }

}  // namespace veldmoor
