#include "tests/app/ControllerTestSupport.h"

#include <openssl/evp.h>

#include <cstring>

#include "foundation/CVeldmoorLog.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {

void RecordingView::ShowNotice(const UserMessage& notice) {
    std::lock_guard<std::mutex> guard(lock_);
    notices_.push_back(notice.text);
    captions_.push_back(notice.caption);
}

void RecordingView::ShowBlockingMessage(const UserMessage& message) { blockingMessages.push_back(message.text); }

bool RecordingView::AskYesNo(const UserMessage& question) {
    questions.push_back(question.text);
    return answer;
}

std::vector<std::string> RecordingView::Notices() const {
    std::lock_guard<std::mutex> guard(lock_);
    return notices_;
}

std::vector<std::string> RecordingView::Captions() const {
    std::lock_guard<std::mutex> guard(lock_);
    return captions_;
}

bool RecordingView::HasNotice(const std::string& text) const {
    for (const std::string& notice : Notices())
        if (notice == text) return true;
    return false;
}

bool CapturingSink::Start(const StatisticsIdentity& given) {
    identity = given;
    started = true;
    return true;
}

void CapturingSink::SimpleEvent(const std::string& code, const std::string& fileName, const std::string& errorText) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back({code, fileName, errorText, false, {}});
}

void CapturingSink::ProgressEvent(const std::string& code, const std::string& errorText,
                                  const ProgressSnapshot& snapshot) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back({code, "", errorText, true, snapshot});
}

std::vector<CapturedEvent> CapturingSink::Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

std::vector<std::string> CapturingSink::Codes() const {
    std::vector<std::string> codes;
    for (const CapturedEvent& event : Events()) codes.push_back(event.code);
    return codes;
}

int CapturingSink::Count(const std::string& code) const {
    int count = 0;
    for (const CapturedEvent& event : Events()) count += event.code == code ? 1 : 0;
    return count;
}

void CapturingSink::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    events_.clear();
    stopped = false;
}

const CapturedEvent* CapturingSink::Find(const std::string& code) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const CapturedEvent& event : events_)
        if (event.code == code) return &event;
    return nullptr;
}

TaskHandle ScriptedEngine::NewHandle() {
    return reinterpret_cast<TaskHandle>(static_cast<uintptr_t>(nextHandle_++ * 16));
}

void ScriptedEngine::Record(const TaskSpec& spec) {
    lastSourceText = spec.torrentSource;
    lastTarget = spec.target;
    lastSourceList.clear();
    for (const std::string& source : spec.sources) lastSourceList += (lastSourceList.empty() ? "" : "\n") + source;
}

int ScriptedEngine::CreateAndStart(const TaskSpec& spec, TaskHandle& handle) {
    std::lock_guard<std::mutex> guard(lock);
    ++creates;
    Record(spec);
    if (createResult != 0) return createResult;
    handle = NewHandle();
    return 0;
}

int ScriptedEngine::RecoverAndContinue(const TaskSpec& spec, bool repair, TaskHandle& handle) {
    std::lock_guard<std::mutex> guard(lock);
    ++recovers;
    recoverRepairFlags.push_back(repair);
    Record(spec);
    if (recoverResult != 0) return recoverResult;
    handle = NewHandle();
    return 0;
}

int ScriptedEngine::GetReport(TaskHandle task, TaskReport& out) {
    if (!task) return kResultUnknownTask;
    std::lock_guard<std::mutex> guard(lock);
    out = report;
    return 0;
}

int ScriptedEngine::IsComplete(TaskHandle task, bool& complete) {
    if (!task) return kResultUnknownTask;
    std::lock_guard<std::mutex> guard(lock);
    complete = report.progressPermyriad > 9999;
    return 0;
}

int ScriptedEngine::SetConnectionLimits(TaskHandle, int sources, int peers) {
    connectionLimits.emplace_back(sources, peers);
    return 0;
}

int ScriptedEngine::SetMirrors(TaskHandle, const std::vector<Mirror>& list) {
    std::lock_guard<std::mutex> guard(lock);
    mirrors = list;
    return 0;
}

std::string Md5OfText(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(length));
    return out;
}

ProductProfile MakeProfile(const std::string& installerContent, const std::string& installerUrl,
                           const std::string& resourceListUrl, uint64_t expectedSize) {
    ProductProfile profile;
    profile.name = "test";
    profile.installerUrlBase64 = Base64(installerUrl);
    profile.installerFileNameBase64 = Base64("Game_setup_1.0.bin");
    profile.resourceListUrlBase64 = Base64(resourceListUrl);
    const std::string md5 = Md5OfText(installerContent);
    profile.expectedMd5 = md5;
    profile.expectedSize = expectedSize ? expectedSize : (installerContent.size() + 4095) / 4096 * 4096;
    profile.versionText = "版本：1.0";
    profile.gameVersion = "v1.0";
    profile.gameId = "772";
    profile.channel = "1";
    profile.caption = "测试下载器";
    profile.vendorFolder = "ORVA";
    profile.productFolder = "Veldmoor";
    profile.saveFolderName = "EH1115";
    profile.installerTorrent = SingleFileTorrent("Game_setup_1.0.bin", installerContent, 512 * 1024);
    profile.statisticsConfigBase64 = Base64("[SubmitEventDownload]\nSubmitUrl=http://127.0.0.1:9/\n");
    return profile;
}

ControllerPaths PathsIn(const std::string& root) {
    ControllerPaths paths;
    paths.dataRoot = root + "/data";
    paths.tempFolder = root + "/temp";
    paths.defaultSaveRoot = root + "/downloads";
    paths.linkFileFolder = root + "/cwd";
    platform::CreateDirectories(paths.dataRoot);
    platform::CreateDirectories(paths.tempFolder);
    platform::CreateDirectories(paths.defaultSaveRoot);
    platform::CreateDirectories(paths.linkFileFolder);
    return paths;
}

void KeepControllerLogInFiles() {
    // Every channel to its file, nothing to standard error.
    VeldmoorLog().SetLevels(0, 1000);
}

std::string ControllerLogPath(int channel) {
    auto* log = dynamic_cast<CVeldmoorLogApi*>(&VeldmoorLog());
    return log ? log->FileForChannel(channel) : std::string();
}

std::string ControllerLogText(int channel) {
    auto* log = dynamic_cast<CVeldmoorLogApi*>(&VeldmoorLog());
    if (!log) return {};
    const std::string path = log->FileForChannel(channel);
    if (path.empty()) return {};
    return platform::ReadWholeFile(path).value_or("");
}

}  // namespace veldmoor::test
