#include "tests/app/ControllerWorld.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Files.h"
#include "tests/support/ChildProcess.h"

namespace veldmoor::test {
namespace {

const std::string kInstallerPath = "/builtin/Game_setup_1.0.bin";

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

TestCertificates MakeCertificates(const std::string& folder, const std::string& name) {
    if (!ProgramExists("openssl")) return {};
    platform::CreateDirectories(folder);
    const std::string base = folder + "/" + name;
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(base + ".ext") << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n";
    const bool ok =
        Run("openssl req -x509" + key + " -keyout " + base + "-ca.key -out " + base + "-ca.pem -days 2 -subj /CN=" +
            name + "-ca") &&
        Run("openssl req" + key + " -keyout " + base + ".key -out " + base + ".csr -subj /CN=127.0.0.1") &&
        Run("openssl x509 -req -in " + base + ".csr -CA " + base + "-ca.pem -CAkey " + base + "-ca.key -CAcreateserial -out " +
            base + ".pem -days 2 -extfile " + base + ".ext");
    if (!ok) return {};
    return {base + "-ca.pem", base + ".pem", base + ".key"};
}

int64_t ServedBytes(const std::string& accessLog, const std::string& prefix) {
    std::ifstream log(accessLog);
    int64_t total = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.rfind(prefix, 0) != 0) continue;
        const size_t last = line.rfind(' ');
        total += std::atoll(line.c_str() + last + 1);
    }
    return total;
}

int ServedRequests(const std::string& accessLog, const std::string& prefix) {
    std::ifstream log(accessLog);
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

ControllerWorld::ControllerWorld(const std::string& installerContent, const std::string& serverConfig,
                                 bool withHttps)
    : paths_(PathsIn(dir_.Path())) {
    KeepControllerLogInFiles();
    Serve(kInstallerPath, installerContent);
    std::string config = serverConfig;
    if (withHttps) {
        certificates_ = MakeCertificates(dir_.File("tls"), "server");
        if (certificates_.caFile.empty()) return;
        httpsPort_ = FreeLoopbackPort();
        config += "\n    listen 127.0.0.1:" + std::to_string(httpsPort_) + " ssl;\n    ssl_certificate " +
                  certificates_.certificateFile + ";\n    ssl_certificate_key " + certificates_.keyFile + ";\n";
    }
    port_ = nginx_.Start(WebRoot(), dir_.File("nginx"), config);
    profile_ = MakeProfile(installerContent, InstallerUrl(), HttpsUrl("/downloader/list.xml"));
    profile_.resourceListCaFile = certificates_.caFile;
}

ControllerWorld::~ControllerWorld() { StopController(); }

std::string ControllerWorld::InstallerUrl() const { return nginx_.Url(kInstallerPath); }

std::string ControllerWorld::HttpsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(httpsPort_) + path;
}

void ControllerWorld::Serve(const std::string& path, const std::string& bytes) const {
    const std::string file = WebRoot() + path;
    platform::CreateDirectories(platform::ParentPath(file));
    std::ofstream(file, std::ios::binary) << bytes;
}

DownloadController& ControllerWorld::Controller() { return *controller_; }

int ControllerWorld::StartController() {
    KeepControllerLogInFiles();  // a destroyed window took the earlier log writer with it
    controller_ = std::make_unique<DownloadController>(profile_, sink, *ports, view, paths_);
    controller_->LoadDefaults();
    return controller_->Initialise();
}

void ControllerWorld::StopController() {
    if (!controller_) return;
    controller_->RequestExit();
    controller_->OnWindowDestroyed();
    controller_.reset();
}

bool ControllerWorld::DriveUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int poll = 0;; ++poll) {
        if (poll % 5 == 0) {
            const DownloadState state = controller_->State();
            if (state != DownloadState::finished && state != DownloadState::checkfinished) controller_->Tick();
            controller_->RefreshSpeed();
        }
        controller_->Poll();
        if (clock) clock->AdvanceMs(clockMsPerPoll);
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ControllerWorld::DriveUntilState(DownloadState state, std::chrono::seconds limit) {
    return DriveUntil([&] { return controller_->State() == state; }, limit);
}

std::string ControllerWorld::SaveDirectory() const {
    return controller_ ? controller_->SaveDirectory() : paths_.defaultSaveRoot + "/EH1115";
}

std::string ControllerWorld::Target() const { return SaveDirectory() + "/Game_setup_1.0.bin"; }

}  // namespace veldmoor::test
