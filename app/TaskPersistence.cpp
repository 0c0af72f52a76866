#include "app/TaskPersistence.h"

#include <optional>

#include "app/IniFile.h"
#include "platform/File.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {

constexpr const char* kTaskSection = "VeldmoorTask";
constexpr const char* kFinishSection = "VeldmoorFinishInfo";
constexpr const char* kComplete = "COMPLETE";
constexpr const char* kDefaultFolderName = "EH1115";
constexpr uint64_t kLastSizeUnit = 2147483648ull;
constexpr int kDefaultLinkLimit = 35;

std::string FinishKey(int task, const char* what) {
    return "VeldmoorTask" + std::to_string(task) + what;
}

struct FinishValues {
    std::string timeHigh, timeLow, sizeHigh, sizeLow;
};

std::optional<FinishValues> CurrentFinishValues(const std::string& targetPath) {
    const std::optional<uint64_t> time = platform::LastWriteTimeOf(targetPath);
    const std::optional<uint64_t> size = platform::FileSize(targetPath);
    if (!time || !size) return std::nullopt;
    const auto high = [](uint64_t value) { return std::to_string(value >> 32); };
    const auto low = [](uint64_t value) { return std::to_string(value & 0xFFFFFFFFu); };
    return FinishValues{high(*time), low(*time), high(*size), low(*size)};
}

}  // namespace

std::string TargetPath(const std::string& folder, const std::string& name) {
    if (platform::EndsWithSeparator(folder)) return folder + name;
    return folder + "/" + name;
}

std::string ResumeInfoFolder(const std::string& dataDirectory, const std::string& taskHash) {
    return TargetPath(dataDirectory, taskHash + "VMInfo") + "/";
}

std::string ResumeInfoPath(const std::string& dataDirectory, const std::string& taskHash,
                           const std::string& fileName) {
    return ResumeInfoFolder(dataDirectory, taskHash) + fileName + ".vminfo";
}

int ReadLinkConnectionLimit(const std::string& linkFilePath) {
    const int64_t limit = IniReadInteger(linkFilePath, kTaskSection, "VeldmoorTaskLink", 0);
    return (limit < 10 || limit > 200) ? kDefaultLinkLimit : static_cast<int>(limit);
}

TaskPersistence::TaskPersistence(std::string taskFilePath) : path_(std::move(taskFilePath)) {}

bool TaskPersistence::Exists() const { return !path_.empty() && platform::FileExists(path_); }

bool TaskPersistence::Delete() const { return platform::DeleteFileAt(path_); }

void TaskPersistence::WriteHeader(const TaskHeader& header) const {
    std::vector<std::pair<std::string, std::string>> values = {
        {"VeldmoorTaskHash", header.taskHash},
        {"VeldmoorTaskCreateTimeStamp", std::to_string(header.createTickMs)},
        {"VeldmoorTaskCreateTime", header.createTime},
    };
    if (header.writeSource) {
        values.emplace_back("VeldmoorHttpTaskUrl", header.httpUrl);
        values.emplace_back("", header.fileName);  // written for older readers, never read back
    }
    values.emplace_back("VeldmoorTaskEntrence", header.entrance);
    values.emplace_back("VeldmoorTaskFloder", header.folderName.empty() ? kDefaultFolderName : header.folderName);
    IniWriteValues(path_, kTaskSection, values);
}

void TaskPersistence::WriteSavePath(const std::string& saveDirectory) const {
    IniWriteString(path_, kTaskSection, "VeldmoorTaskSavePath", saveDirectory);
}

void TaskPersistence::WriteLastSize(uint64_t downloadedBytes) const {
    IniWriteValues(path_, kTaskSection,
                   {{"VeldmoorTaskLastSizeHigh", std::to_string(downloadedBytes / kLastSizeUnit)},
                    {"VeldmoorTaskLastSizeLow", std::to_string(downloadedBytes % kLastSizeUnit)}});
}

void TaskPersistence::WriteTaskFileName(int task, const std::string& fileName) const {
    IniWriteString(path_, kTaskSection, "VeldmoorTask" + std::to_string(task), fileName);
}

uint32_t TaskPersistence::ReadDownloadTime() const {
    const int64_t seconds = IniReadInteger(path_, kTaskSection, "VeldmoorTaskDownloadTime", 0);
    return seconds < 0 || seconds > UINT32_MAX ? 0 : static_cast<uint32_t>(seconds);
}

void TaskPersistence::WriteDownloadTime(uint32_t seconds) const {
    IniWriteString(path_, kTaskSection, "VeldmoorTaskDownloadTime", std::to_string(seconds));
}

void TaskPersistence::MarkComplete() const {
    IniWriteString(path_, kTaskSection, "VeldmoorTaskIsComplete", kComplete);
}

void TaskPersistence::WriteFinishRecord(int task, const std::string& targetPath) const {
    const std::optional<FinishValues> values = CurrentFinishValues(targetPath);
    if (!values) return;
    IniWriteValues(path_, kFinishSection,
                   {{FinishKey(task, "WriteTimeHigh"), values->timeHigh},
                    {FinishKey(task, "WriteTimeLow"), values->timeLow},
                    {FinishKey(task, "FileSizeHigh"), values->sizeHigh},
                    {FinishKey(task, "FileSizeLow"), values->sizeLow}});
}

bool TaskPersistence::FinishRecordMatches(int task, const std::string& targetPath) const {
    const std::optional<FinishValues> values = CurrentFinishValues(targetPath);
    if (!values) return false;
    const auto same = [&](const char* what, const std::string& current) {
        bool found = false;
        const std::string text = platform::ReadWholeFile(path_).value_or("");
        const std::string stored = IniTextRead(text, kFinishSection, FinishKey(task, what), &found);
        return found && stored == current;
    };
    return same("WriteTimeHigh", values->timeHigh) && same("WriteTimeLow", values->timeLow) &&
           same("FileSizeHigh", values->sizeHigh) && same("FileSizeLow", values->sizeLow);
}

int TaskPersistence::ReadCloseSelection() const {
    if (!Exists()) return -1;
    return static_cast<int>(IniReadInteger(path_, kTaskSection, "VeldmoorCloseSelection", 0));
}

void TaskPersistence::WriteCloseSelection(unsigned choice) const {
    if (path_.empty()) return;
    IniWriteString(path_, kTaskSection, "VeldmoorCloseSelection", std::to_string(choice));
}

RestoreResult TaskPersistence::Restore(const RestoreInputs& inputs) const {
    RestoreResult result;
    if (!Exists()) {
        platform::CreateDirectories(inputs.dataDirectory);
        result.taskHash = inputs.md5Text;
        result.saveDirectory = inputs.defaultSaveDirectory;
        result.entrance = inputs.fileName;
        platform::CreateDirectories(ResumeInfoFolder(inputs.dataDirectory, result.taskHash));
        result.resumeInfoPath = ResumeInfoPath(inputs.dataDirectory, result.taskHash, inputs.fileName);
        result.outcome = RestoreOutcome::fresh;
        return result;
    }
    const auto read = [&](const std::string& key) { return IniReadString(path_, kTaskSection, key); };
    const bool noTime = read("VeldmoorTaskCreateTime").empty();
    result.taskHash = read("VeldmoorTaskHash");
    const bool noHash = result.taskHash.empty();
    if (noHash) result.taskHash = inputs.md5Text;
    result.saveDirectory = read("VeldmoorTaskSavePath");
    const bool noPath = result.saveDirectory.empty();
    if (noPath) result.saveDirectory = inputs.defaultSaveDirectory;

    const std::string target = TargetPath(result.saveDirectory, inputs.fileName);
    const bool complete = read("VeldmoorTaskIsComplete") == kComplete;
    RestoreOutcome outcome = RestoreOutcome::lost;
    if (platform::FileExists(target))
        outcome = FinishRecordMatches(0, target) ? RestoreOutcome::finished : RestoreOutcome::reload;
    else if (!complete && platform::FileExists(target + ".vmtmp"))
        outcome = RestoreOutcome::recover;

    result.entrance = read("VeldmoorTaskEntrence");
    const bool noEntrance = result.entrance.empty();
    if (noEntrance) result.entrance = inputs.fileName;
    const std::string storedResumePath = read("VeldmoorDownloadInfo0");
    if (!storedResumePath.empty()) {
        result.resumeInfoPath = storedResumePath;
    } else {
        platform::CreateDirectories(ResumeInfoFolder(inputs.dataDirectory, result.taskHash));
        result.resumeInfoPath = ResumeInfoPath(inputs.dataDirectory, result.taskHash, inputs.fileName);
    }
    result.outcome = (noTime && noHash && noPath && noEntrance) ? RestoreOutcome::fresh : outcome;
    return result;
}

}  // namespace veldmoor
