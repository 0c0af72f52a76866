#pragma once
// Shared pieces of the reporting tests: a fixed machine, a configuration
// file, and a poster that records what it was asked to send.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "reporting/BatchPoster.h"
#include "reporting/SystemInfo.h"

namespace veldmoor::test {

inline reporting::SystemDescription FixedSystem() {
    reporting::SystemDescription system;
    system.machineId = "0123456789ABCDEF";
    system.adapterAddresses = "02-fc-00-00-00-01;8e-af-2c-60-61-a3";
    system.osDescriptor = "61120641";
    Json::Value processor(Json::objectValue);
    processor["CPU_Name"] = "AMD EPYC";
    processor["CPU_Manufacturer"] = "AuthenticAMD";
    processor["CPU_Type"] = "Central Processor";
    processor["CPU_Architecture"] = "x64";
    system.processor["CPU"].append(processor);
    system.memory["Memory"] = Json::Value(Json::arrayValue);
    system.memory["Memory_Total_Capacity"] = "8589934592";
    system.videoCard["Video_Card"] = Json::Value(Json::arrayValue);
    return system;
}

// A configuration with the released file's keyword lists and the given batch URLs.
inline std::string ConfigurationText(const std::vector<std::string>& batchUrls,
                                     const std::string& submitKeywords = "MachId;Mac;OS") {
    std::string text =
        "[SubmitEventDownload]\r\n"
        "SubmitUrl=http://127.0.0.1:1/launchersubmit/eventInfoSubmit\r\n"
        "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
        "SubmitDataKeyWord=" + submitKeywords + "\r\n"
        "[SubmitEventDownloadSeveral]\r\n";
    for (size_t i = 0; i < batchUrls.size(); ++i)
        text += (i == 0 ? std::string("SubmitUrl") : "SubmitUrl" + std::to_string(i)) + "=" + batchUrls[i] + "\r\n";
    text +=
        "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
        "SubmitDataKeyWord=MachId;Mac;OS\r\n"
        "[OsTypeCode]\r\nWIN_XP_SP2=512 \r\nOther=999\r\n";
    return text;
}

inline std::string WriteConfiguration(const std::string& path, const std::vector<std::string>& batchUrls) {
    platform::ReplaceFileContents(path, ConfigurationText(batchUrls));
    return path;
}

// Records every post; answers through `answer` (default: taken). A test can
// hold posts back with Block() to play a server that does not answer.
class RecordingPoster final : public reporting::IBatchPoster {
public:
    struct Post {
        std::string url, body;
    };
    using Answer = std::function<std::optional<std::string>(const std::string& url)>;

    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Post> posts;
        std::vector<Post> answered;  // the posts a server answered
        bool blocked = false;
        size_t waiting = 0;
        Answer answer = [](const std::string&) { return std::optional<std::string>("{\"error\":0}"); };

        void Block() {
            std::lock_guard<std::mutex> guard(mutex);
            blocked = true;
        }
        void Release() {
            std::lock_guard<std::mutex> guard(mutex);
            blocked = false;
            changed.notify_all();
        }
        std::vector<Post> Posts() {
            std::lock_guard<std::mutex> guard(mutex);
            return posts;
        }
    };

    explicit RecordingPoster(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    // An answer function's nothing stands for a server that could not be reached.
    reporting::PostResult Post(const std::string& url, const std::string& body) override {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        ++shared_->waiting;
        shared_->changed.notify_all();
        shared_->changed.wait(lock, [&] { return !shared_->blocked; });
        --shared_->waiting;
        shared_->posts.push_back({url, body});
        const std::optional<std::string> answer = shared_->answer(url);
        if (!answer) return {reporting::PostResult::Outcome::kNotReached, {}};
        shared_->answered.push_back({url, body});
        return {reporting::PostResult::Outcome::kAnswered, *answer};
    }

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace veldmoor::test
