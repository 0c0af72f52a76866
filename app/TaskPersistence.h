#pragma once
// The task file: the one installer download remembered across runs (an INI
// file beside the logs), its finish record that proves a finished file
// untouched, the start-up decision, the close choice and the link file.
#include <cstdint>
#include <string>

namespace veldmoor {

// What start-up finds, before the controller acts on it.
enum class RestoreOutcome {
    fresh,     // no task file, or one without any header key: start afresh
    lost,      // the task file names a download whose files are all gone
    finished,  // complete, and the file matches its finish record
    reload,    // the target is there but does not match its record
    recover,   // only partial data is there
};

struct RestoreInputs {
    std::string md5Text;           // default task hash
    std::string fileName;          // the installer's file name
    std::string dataDirectory;
    std::string defaultSaveDirectory;
};

struct RestoreResult {
    RestoreOutcome outcome = RestoreOutcome::fresh;
    std::string taskHash;
    std::string saveDirectory;
    std::string entrance;
    std::string resumeInfoPath;
};

// The header the download writes when it starts or is reloaded.
struct TaskHeader {
    std::string taskHash;
    uint32_t createTickMs = 0;
    std::string createTime;        // local "%Y-%m-%d %X"
    bool writeSource = false;      // only before anything was started
    std::string httpUrl;
    std::string fileName;
    std::string entrance;
    std::string folderName;
};

class TaskPersistence {
public:
    explicit TaskPersistence(std::string taskFilePath = {});

    const std::string& Path() const { return path_; }
    bool Exists() const;
    bool Delete() const;

    void WriteHeader(const TaskHeader& header) const;
    void WriteSavePath(const std::string& saveDirectory) const;
    void WriteLastSize(uint64_t downloadedBytes) const;
    void WriteTaskFileName(int task, const std::string& fileName) const;
    uint32_t ReadDownloadTime() const;
    void WriteDownloadTime(uint32_t seconds) const;
    void MarkComplete() const;

    // The target's write time and size, so a later start can tell it untouched.
    // Nothing is written when the target is missing.
    void WriteFinishRecord(int task, const std::string& targetPath) const;
    bool FinishRecordMatches(int task, const std::string& targetPath) const;

    // -1 no task file, else the stored choice (0 when missing).
    int ReadCloseSelection() const;
    void WriteCloseSelection(unsigned choice) const;

    // The start-up decision from the task file and what lies on disk. Creates
    // the data and resume-information folders it needs.
    RestoreResult Restore(const RestoreInputs& inputs) const;

private:
    std::string path_;
};

// The resume-information path of a task: data directory / hash "VMInfo" / name ".vminfo".
std::string ResumeInfoFolder(const std::string& dataDirectory, const std::string& taskHash);
std::string ResumeInfoPath(const std::string& dataDirectory, const std::string& taskHash,
                           const std::string& fileName);

// The HTTP connection limit from "VeldmoorTaskLink.ini": 10 to 200, else 35.
int ReadLinkConnectionLimit(const std::string& linkFilePath);

// Folder + "/" (unless it ends with one) + name.
std::string TargetPath(const std::string& folder, const std::string& name);

}  // namespace veldmoor
