#pragma once
// What a job is and tells: the task's identity (taken once from its
// description), its settings, its source lines and mirrors, the working and
// published status records, the saved-state texts with the state file, the
// job clock and whether the download finished in this run.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/JobSettings.h"
#include "engine/JobStatusRecord.h"
#include "engine/TaskInterface.h"
#include "foundation/RecursiveMutex.h"
#include "torrent/StateFile.h"

namespace veldmoor {

enum SourceLineState : int32_t {
    kLineUnused = 0,
    kLineTorrent = 1,
    kLineInUse = 16,
    kLineTorrentInUse = 17,
};

struct SourceLine {
    std::string text;
    int32_t state = kLineUnused;
};

class JobRecord {
public:
    // `jobLock` guards the record against status queries from other threads.
    explicit JobRecord(RecursiveMutex& jobLock) : jobLock_(jobLock) {}
    JobRecord(const JobRecord&) = delete;
    JobRecord& operator=(const JobRecord&) = delete;

    // Takes the task's identity from its description.
    void FillFromSpec(const TaskSpec& spec);
    // Whether `other` describes the same download; the caller holds this job's lock.
    bool IsSameTask(const JobRecord& other) const;

    int LoadState(const std::string& path);
    int SaveState(const std::string& path);

    void SetRunState(int32_t runState) { working_.runState = runState; }
    void SetStatusCode(int32_t statusCode) { working_.statusCode = statusCode; }
    // Transient line states go back to what a new run expects.
    void ResetSourceLineStates();

    TaskKind Kind() const { return kind_; }
    bool IsTorrentTask() const { return kind_ != TaskKind::Http; }
    const char* KindName() const;
    const std::string& TargetFile() const { return targetFile_; }
    const std::string& Folder() const { return folder_; }
    const std::string& StateFilePath() const { return stateFilePath_; }
    const std::string& JournalPath() const { return p2spStatePath_; }
    const std::string& SourceText() const { return sourceText_; }
    const std::vector<SourceLine>& SourceLines() const { return sourceLines_; }
    std::vector<SourceLine>& SourceLines() { return sourceLines_; }
    JobSettings& Settings() { return settings_; }
    const JobSettings& Settings() const { return settings_; }

    void ClearMirrors();
    // Adds to the mirror list; even an empty addition makes the job rotate
    // mirrors instead of replacing slow sources.
    void AddMirrors(const std::vector<Mirror>& mirrors);
    const std::vector<Mirror>& Mirrors() const { return mirrors_; }
    bool MirrorListPresent() const { return mirrorListPresent_; }

    // The record the job thread writes.
    JobStatusRecord& Working() { return working_; }
    const JobStatusRecord& Working() const { return working_; }
    // The record status queries read; take the job's lock around it.
    JobStatusRecord& Published() { return published_; }
    const JobStatusRecord& Published() const { return published_; }
    SavedStateTexts& SavedTexts() { return savedTexts_; }
    const SavedStateTexts& SavedTexts() const { return savedTexts_; }

    // The job clock: the engine wall time taken at the last per-second step.
    int64_t JobClock() const;
    void RefreshJobClock();

    // Job clock at which every piece was verified; 0 while incomplete.
    int64_t CompletionTime() const { return completionTime_; }
    void SetCompletionTime(int64_t time) { completionTime_ = time; }
    // Every piece verified and flushed in this run.
    bool Finished() const { return finished_; }
    void SetFinished(bool finished) { finished_ = finished; }

    // Both status records and the completion start over (a restart from nothing).
    void Clear();
    // A new run starts the job clock afresh.
    void Reset() { jobClock_ = 0; }

private:
    RecursiveMutex& jobLock_;

    JobSettings settings_;
    std::vector<SourceLine> sourceLines_;
    SavedStateTexts savedTexts_;
    JobStatusRecord working_;
    JobStatusRecord published_;
    int64_t jobClock_ = 0;
    int64_t completionTime_ = 0;
    bool finished_ = false;

    // The task's identity, set once from its description.
    TaskKind kind_ = TaskKind::Http;
    bool targetIsFile_ = false;
    bool caseInsensitiveSources_ = false;
    std::string sourceText_;
    std::string folder_;
    std::string targetFile_;
    std::string stateFilePath_;
    std::string p2spStatePath_;  // the partial-piece journal
    std::vector<Mirror> mirrors_;
    bool mirrorListPresent_ = false;
};

// Splits a source list at CR, LF or CR LF and trims bytes 1..32 from both ends
// of every line; empty lines are dropped.
std::vector<std::string> SplitSourceLines(const char* text);

}  // namespace veldmoor
