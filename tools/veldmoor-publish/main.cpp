// veldmoor-publish: from a release file and its installer to the release
// folder a build compiles in and the publisher's servers are set up from.
// See README.md.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Signals.h"
#include "profile/ProfileDescription.h"
#include "tools/profile-builder/ProfileSource.h"
#include "tools/veldmoor-publish/ReleaseFolder.h"
#include "tools/veldmoor-publish/ServerConfig.h"

namespace {

using namespace veldmoor;

constexpr const char* kUsage =
    "usage: veldmoor-publish RELEASE.ini --out FOLDER [--installer FILE] [--quiet]\n"
    "         make the release folder from the release file and its installer\n"
    "       veldmoor-publish --profile-source FOLDER/profile.txt OUTPUT.cpp\n"
    "         the C++ source that compiles a release's profile in (run by the build)\n"
    "       veldmoor-publish --server-defaults FOLDER\n"
    "         the servers' /etc/default files without a release (run by the packaging)\n";

bool WriteText(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        if (!file.flush()) return false;
    }
    std::error_code failure;
    std::filesystem::rename(temporary, path, failure);
    return !failure;
}

int ProfileSource(const std::string& description, const std::string& output) {
    std::string error;
    const auto profile = LoadProfileDescription(description, error);
    if (!profile) {
        std::fprintf(stderr, "veldmoor-publish: %s\n", error.c_str());
        return 1;
    }
    if (!WriteText(output, profilebuilder::ProfileSourceCode(*profile))) {
        std::fprintf(stderr, "veldmoor-publish: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}

int ServerDefaults(const std::string& folder) {
    using namespace veldmoor::publish;
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    const std::string origin = "the package's defaults";
    const bool ok =
        !failure &&
        WriteText(folder + "/veldmoor-natd", DaemonDefaultsFile("veldmoor-natd", kNatdVariable, NatdOptions(""), origin)) &&
        WriteText(folder + "/veldmoor-statsd", DaemonDefaultsFile("veldmoor-statsd", kStatsdVariable,
                                                                  StatsdOptions("", kCollectorDefaultPort), origin));
    if (!ok) std::fprintf(stderr, "veldmoor-publish: cannot write into %s\n", folder.c_str());
    return ok ? 0 : 1;
}

// One line, rewritten in place on a terminal; a line per tenth elsewhere.
class ProgressLine {
public:
    ProgressLine(std::string name, bool quiet) : name_(std::move(name)), quiet_(quiet), terminal_(platform::StandardErrorIsTerminal()) {}

    void operator()(uint64_t done, uint64_t total) {
        if (quiet_ || total == 0) return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == shown_ || (!terminal_ && percent % 10 != 0 && done != total)) return;
        shown_ = percent;
        std::fprintf(stderr, "%shashing %s: %3d%% (%llu of %llu MiB)%s", terminal_ ? "\r" : "", name_.c_str(),
                     percent, static_cast<unsigned long long>(done >> 20),
                     static_cast<unsigned long long>(total >> 20), terminal_ && done != total ? "" : "\n");
        std::fflush(stderr);
    }

private:
    std::string name_;
    bool quiet_;
    bool terminal_;
    int shown_ = -1;
};

int Publish(const std::string& releaseFile, const std::string& out, const std::string& installer, bool quiet) {
    using namespace veldmoor::publish;
    std::vector<std::string> problems;
    const auto release = ReadReleaseFile(releaseFile, installer, problems);
    if (!release) {
        std::fprintf(stderr, "veldmoor-publish: %s is not a consistent release:\n", releaseFile.c_str());
        for (const std::string& problem : problems) std::fprintf(stderr, "  %s\n", problem.c_str());
        return 1;
    }
    ProgressLine progress(release->InstallerFileName(), quiet);
    PublishedRelease published;
    std::string error;
    if (!PublishRelease(*release, out, std::ref(progress), published, error)) {
        std::fprintf(stderr, "veldmoor-publish: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& warning : published.warnings) std::fprintf(stderr, "veldmoor-publish: warning: %s\n", warning.c_str());
    if (!quiet) {
        std::printf("%s: %s, %llu bytes, MD5 %s", out.c_str(), release->InstallerFileName().c_str(),
                    static_cast<unsigned long long>(published.installerSize), published.profile.expectedMd5.c_str());
        if (published.pieceLength > 0)
            std::printf(", %u KiB pieces, info hash %s", published.pieceLength / 1024, published.infoHashHex.c_str());
        std::printf("\nNext: %s/RELEASE.md\n", out.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--profile-source") return ProfileSource(args[1], args[2]);
    if (args.size() == 2 && args[0] == "--server-defaults") return ServerDefaults(args[1]);
    std::string releaseFile, out, installer;
    bool quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (args[i] == "--quiet") {
            quiet = true;
        } else if ((args[i] == "--out" || args[i] == "--installer") && i + 1 < args.size()) {
            (args[i] == "--out" ? out : installer) = args[i + 1];
            ++i;
        } else if (releaseFile.empty() && args[i].rfind("--", 0) != 0) {
            releaseFile = args[i];
        } else {
            std::fprintf(stderr, "veldmoor-publish: unexpected argument %s\n%s", args[i].c_str(), kUsage);
            return 2;
        }
    }
    if (releaseFile.empty() || out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return Publish(releaseFile, out, installer, quiet);
}
