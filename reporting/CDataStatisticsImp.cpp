#include "reporting/CDataStatisticsImp.h"

#include <cstdio>
#include <cstring>

#include "foundation/CVeldmoorLog.h"
#include "platform/Files.h"
#include "platform/Signals.h"
#include "platform/Uuid.h"
#include "reporting/EventText.h"
#include "reporting/StatisticsConfig.h"

namespace veldmoor::reporting {
namespace {

constexpr int32_t kUploadChannel = 28;

bool ContainsEvery(const std::string& text, const std::vector<std::string>& keywords) {
    for (const std::string& keyword : keywords) {
        if (text.find(keyword) == std::string::npos) return false;
    }
    return true;
}

}  // namespace

std::string NewSessionId() {
    const auto uuid = platform::NewUuid();
    uint32_t first = 0;
    std::memcpy(&first, uuid.data(), sizeof first);
    char text[9];
    std::snprintf(text, sizeof text, "%08X", first);
    return text;
}

bool AnswerAcceptsBatch(const std::string& answer) {
    static constexpr std::string_view kAccepted = "\"error\":0";
    for (size_t at = answer.find(kAccepted); at != std::string::npos; at = answer.find(kAccepted, at + 1)) {
        const size_t after = at + kAccepted.size();
        if (after >= answer.size() || answer[after] < '0' || answer[after] > '9') return true;
    }
    return false;
}

CDataStatisticsImp::CDataStatisticsImp(std::unique_ptr<IBatchPoster> poster, const SystemDescription& system, Options options)
    : poster_(std::move(poster)), system_(system), options_(options), sessionId_(NewSessionId()) {}

void CDataStatisticsImp::GuardCrashes() const {
    if (options_.installCrashHandler) platform::InstallCrashDumpHandler();
}

int CDataStatisticsImp::SetConfigurationFile(const std::string& path) {
    GuardCrashes();
    std::lock_guard<std::mutex> guard(mutex_);
    configurationPath_ = path;
    return kKept;
}

int CDataStatisticsImp::AddEvent(const std::string& code, const std::string& fragment, uint32_t hardwareFlags) {
    GuardCrashes();
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        return AddEventLocked(code, fragment, hardwareFlags);
    } catch (...) {
        return kExceptionCaught;
    }
}

int CDataStatisticsImp::AddEventLocked(const std::string& code, const std::string& fragment, uint32_t hardwareFlags) {
    if (code.empty() || fragment.empty()) return kNothing;
    if (++addedSinceBatch_ > kBatchLimit) return kBatchFull;
    const std::string path = configurationPath_.empty() ? kDefaultConfiguration : configurationPath_;
    const auto config = StatisticsConfig::Load(path);
    if (!config) return kConfigurationMissing;
    if (!ContainsEvery(fragment, config->InputKeywords())) return kInputKeywordMissing;
    kept_.push_back({code, fragment, hardwareFlags});
    return kKept;
}

int CDataStatisticsImp::SubmitBatch() {
    GuardCrashes();
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        const int result = SubmitBatchLocked();
        kept_.clear();
        addedSinceBatch_ = 0;
        return result;
    } catch (...) {
        std::lock_guard<std::mutex> guard(mutex_);
        kept_.clear();
        addedSinceBatch_ = 0;
        return kExceptionCaught;
    }
}

int CDataStatisticsImp::SubmitBatchLocked() {
    if (addedSinceBatch_ == 0) return kNothing;
    const std::string path = configurationPath_.empty() ? kDefaultConfiguration : configurationPath_;
    const auto config = StatisticsConfig::Load(path);
    if (!config) return kBatchNotBuilt;
    const std::vector<std::string> submitKeywords = config->SubmitKeywords();

    std::vector<std::pair<std::string, std::string>> events;
    for (const KeptEvent& event : kept_) {
        std::string text = BuildEventText(InformationObjectText(system_, event.hardwareFlags, sessionId_), event.fragment);
        if (!ContainsEvery(text, submitKeywords)) continue;
        events.emplace_back(event.code, std::move(text));
    }
    lastBatchBody_ = BuildBatchBody(events);
    // Every event failed the keyword check: there is nothing worth a request.
    if (events.empty()) return kNothing;

    bool anyReached = false;
    for (const std::string& url : config->BatchUrls()) {
        const PostResult result = poster_ ? poster_->Post(url, lastBatchBody_) : PostResult{};
        if (result.outcome == PostResult::Outcome::kAnswered && AnswerAcceptsBatch(result.answer)) return kDelivered;
        anyReached = anyReached || result.outcome != PostResult::Outcome::kNotReached;
        VeldmoorLog().Write(ThreadTag() + "Batch of " + std::to_string(events.size()) + " events not taken by " + url +
                                (result.outcome == PostResult::Outcome::kNotReached ? " (not reached)" : ""),
                            kUploadChannel, kUploadChannel);
    }
    return anyReached || config->BatchUrls().empty() ? kNothing : kNoServerReached;
}

std::string CDataStatisticsImp::MachineIdText() const {
    GuardCrashes();
    return MachineIdNoticeText(system_.machineId);
}

std::string CDataStatisticsImp::LastBatchBody() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastBatchBody_;
}

}  // namespace veldmoor::reporting
